#include "LoadedPicture.h"

#include "FileNames.h"
#include "ImageBox.h"
#include "Picture.h"

LoadedPicture LoadedPicture::Load(const QString &path, QSize previewSize, const std::atomic<bool> &cancelled)
{
    LoadedPicture loaded;
    loaded.path = path;
    // A load that a newer one replaces stops early (its error goes unseen).
    loaded.picture = Picture::LoadPicture(path, [&cancelled] { return cancelled.load(); });
    // Measured after the decode, so that the length belongs to these pixels.
    loaded.length = FileNames::status(path).size;
    loaded.preview = ImageBox::reduced(loaded.picture, previewSize);
    return loaded;
}
