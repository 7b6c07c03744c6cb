#pragma once

#include "Metadata.h"
#include "SquashTargets.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <functional>

// A picture decoded once for showing and squashing. Both front ends load
// through it, so that the one decode-and-memory policy decides what a squash
// works from: the memory of the whole squash is reserved from the header
// first, and a JPEG too large to hold whole is decoded straight at the
// smallest DCT scale that still covers the size the squash scales to.
struct PreparedPicture
{
    QString path;
    qint64 length = 0;      // the file's length in bytes, measured after the decode
    QImage picture;         // Format_RGB32, upright, sRGB; may be a DCT-reduced decode
    QByteArray jpeg;        // or, loaded for a squash only: the JPEG it decodes band by band
    QSize fileSize;         // the picture's own size as its file gives it (upright)
    QString damage;         // why part of the picture is missing; empty when it is whole
    Metadata metadata;      // what the file tells beyond its pixels

    bool isNull() const { return picture.isNull() && jpeg.isEmpty(); }
    int width() const { return fileSize.width(); }
    int height() const { return fileSize.height(); }

    // Decodes `path` (on any thread) for a squash to `size` (the picture's
    // own size when not given). Throws Picture::LoadPicture's errors
    // (AppError 53, 70, 481, 7, 18 when cancelled).
    static PreparedPicture Load(const QString &path, const SquashTargets::SizeChoice &size = {},
                                const std::function<bool()> &cancelled = {});
    // The same for a squash that shows nothing: a JPEG it need not scale or
    // turn is not decoded here but by the squash, a band at a time
    // (Picture::StreamableJpeg); anything else is loaded as above.
    static PreparedPicture ForSquash(const QString &path, const SquashTargets::SizeChoice &size);
};
