#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <functional>
#include <optional>

// libtiff, for what Qt's TIFF reader cannot do: CMYK pictures of 8 and 16
// bits a channel.
namespace TiffPicture {

struct Header
{
    QSize size;           // as stored
    int orientation = 1;  // the orientation tag, 1 to 8
};

// The header of a CMYK TIFF that Load can decode (strips, inks in one
// plane, 8 or 16 bits); nothing for any other file.
std::optional<Header> CmykHeader(const QByteArray &file);

// The picture in Format_RGB32, as stored (orientation not applied).
// beforeAllocating is called with its size before the pixels are allocated
// and may throw. Throws AppError 481 naming libtiff's cause for a broken
// file, 18 when cancelled.
QImage LoadCmyk(const QByteArray &file, const std::function<void(QSize)> &beforeAllocating,
                const std::function<bool()> &cancelled);

} // namespace TiffPicture
