#pragma once

#include <QImage>
#include <QString>
#include <functional>

// HEIC/HEIF pictures (phone photos) through libheif.
namespace HeifPicture {

// Called with the picture's pixel size before its pixels are allocated; it
// throws to refuse a picture that cannot be held.
using SizeCheck = std::function<void(qint64 width, qint64 height)>;

// Whether the file is a HEIF container with a picture libheif can decode,
// judged from its first bytes, whatever its name.
bool IsHeif(const QString &path);

// The primary picture's size, upright, read without decoding it. Throws as
// LoadHeif does.
QSize Size(const QString &path);

// The primary picture, upright (the file's rotation and mirroring applied),
// converted to sRGB from its ICC or nclx colour profile, 8 bits per channel.
// Format_RGB32, or Format_ARGB32 when the picture has transparency. Throws
// AppError 481 "Invalid picture" for a file libheif cannot decode, and
// whatever checkSize throws.
QImage LoadHeif(const QString &path, const SizeCheck &checkSize);

} // namespace HeifPicture
