#include "LoadedPicture.h"

#include "PreparedPicture.h"

LoadedPicture LoadedPicture::Load(const QString &path, const std::atomic<bool> &cancelled)
{
    // A load that a newer one replaces stops early (its error goes unseen).
    PreparedPicture prepared = PreparedPicture::Load(path, {}, [&cancelled] { return cancelled.load(); });
    LoadedPicture loaded;
    loaded.path = path;
    loaded.picture = std::move(prepared.picture);
    loaded.length = prepared.length;
    return loaded;
}
