#include "LoadedPicture.h"

#include "Picture.h"

#include <QFileInfo>

LoadedPicture LoadedPicture::Load(const QString &path, const std::atomic<bool> &cancelled)
{
    LoadedPicture loaded;
    loaded.path = path;
    // The decoder cannot be stopped midway yet: a cancelled load runs to its
    // end unseen. Pass `cancelled` here once LoadPicture takes a cancel test.
    (void)cancelled;
    loaded.picture = Picture::LoadPicture(path);
    // Measured after the decode, so that the length belongs to these pixels.
    loaded.length = QFileInfo(path).size();
    return loaded;
}
