#pragma once

#include <QImage>
#include <QString>

// Decoding and scaling of pictures. A picture is an implicitly shared QImage
// in Format_RGB32: one decode serves every holder.
namespace Picture {

// Largest side a JPEG file can have.
constexpr int MaxJpegSide = 65500;
// Largest pixel count the program holds (about 1 GB as 32-bit pixels).
constexpr qint64 MaxPixels = qint64(1) << 28;

// Loads a BMP, GIF, JPEG, PNG, WebP, TIFF or HEIC/HEIF file, recognised by
// its content. Its orientation is applied, transparent pixels become white
// and an animated GIF or WebP gives its first frame. Throws AppError: 53 for
// a missing file, 481 "Invalid picture"
// for anything that is not a readable picture of those formats, 7 for a
// picture too large to hold (checked before its pixels are allocated).
QImage LoadPicture(const QString &path);

// The whole picture stretched to exactly width x height pixels with a smooth
// filter; the aspect ratio is not kept. Throws AppError 5 for a size of 0 or
// beyond what JPEG can store, 7 when the result cannot be held.
QImage StretchPicture(const QImage &picture, int width, int height);

// Throws the errors of StretchPicture for a size that cannot be a JPEG.
void CheckJpegSize(qint64 width, qint64 height);

} // namespace Picture
