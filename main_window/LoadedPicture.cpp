#include "LoadedPicture.h"

#include "ImageBox.h"

LoadedPicture LoadedPicture::Load(const QString &path, QSize previewSize, const std::atomic<bool> &cancelled)
{
    LoadedPicture loaded;
    // A load that a newer one replaces stops early (its error goes unseen).
    static_cast<PreparedPicture &>(loaded) = PreparedPicture::Load(path, {}, [&cancelled] { return cancelled.load(); });
    loaded.preview = ImageBox::reduced(loaded.picture, previewSize);
    return loaded;
}
