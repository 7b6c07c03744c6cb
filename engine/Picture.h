#pragma once

#include "MemoryBudget.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <functional>

struct Metadata;

// Decoding and scaling of pictures. A picture is an implicitly shared QImage
// in Format_RGB32: one decode serves every holder.
namespace Picture {

// Largest side a JPEG file can have.
constexpr int MaxJpegSide = 65500;
// Largest pixel count the program holds (about 1 GB as 32-bit pixels).
constexpr qint64 MaxPixels = qint64(1) << 28;

// The error number of a load stopped through its cancelled callback
// ("User interrupt occurred").
constexpr int LoadCancelled = 18;

// Loads a BMP, GIF, JPEG, PNG, WebP, TIFF or HEIC/HEIF file, recognised by
// its content. EXIF orientation
// is applied, a picture with an ICC profile is converted to sRGB, transparent
// pixels become white and an animated GIF or WebP gives its first frame. A JPEG is
// decoded at the smallest DCT scale (n/8) that still gives at least minSize
// (after orientation); an empty minSize gives the full size. The memory the
// decode needs is reserved from MemoryBudget first. cancelled is asked now
// and then; when it returns true the load stops.
// Throws AppError: 53 for a missing file, 481 "Invalid picture" for anything
// that is not a readable picture of those formats (a description in brackets
// says why: a folder, no image data, too many scans ...), 70 for a file that
// cannot be read, 7 naming the size for a picture too large to hold (checked
// before its pixels are allocated), LoadCancelled for a cancelled load.
// The file's EXIF block goes to `metadata` when given.
QImage LoadPicture(const QString &path, const std::function<bool()> &cancelled = {}, QSize minSize = {},
                   Metadata *metadata = nullptr);

// The file's bytes when it is a JPEG that a squash may decode band by band
// (JpegDecoder::Streamable, upright, small enough to squash whole), with its
// EXIF block in `metadata`; empty for any other file, which LoadPicture
// then loads (and refuses) as ever. Throws what opening the file throws.
QByteArray StreamableJpeg(const QString &path, Metadata *metadata);

// The size LoadPicture(path, {}, minSize) would give (orientation applied),
// read from the header only. Throws as LoadPicture does, 7 included.
QSize PictureSize(const QString &path, QSize minSize = {});

// The bytes a squash of a picture of `source` pixels to `target` pixels
// holds at its peak: the picture (4 bytes a pixel), its scaled copy (4) and
// the DCT coefficients every encode is made from (3) with the written file.
qint64 SquashBytes(QSize source, QSize target);

// Reserves SquashBytes from MemoryBudget; AppError 7 naming the size when
// it cannot be had. The reservation covers the decode too when taken first
// on the same thread.
MemoryBudget::Reservation ReserveSquash(QSize source, QSize target);

// The whole picture stretched to exactly width x height pixels with a smooth
// filter; the aspect ratio is not kept. Throws AppError 5 for a size of 0 or
// beyond what JPEG can store, 7 when the result cannot be held.
QImage StretchPicture(const QImage &picture, int width, int height);

// Throws AppError 481 "Invalid picture", with the decoder's cause in
// brackets when it gave one.
[[noreturn]] void RefuseInvalid(const QString &cause = {});

// Throws the errors of StretchPicture for a size that cannot be a JPEG.
void CheckJpegSize(qint64 width, qint64 height);

} // namespace Picture
