#include "Picture.h"

#include "AppError.h"
#include "HeifPicture.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTransform>
#include <cstring>

namespace Picture {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Picture");
constexpr int InvalidPicture = 481;

[[noreturn]] void invalidPicture()
{
    throw AppError(InvalidPicture, kSource, QStringLiteral("Invalid picture"));
}

[[noreturn]] void tooLarge(qint64 width, qint64 height)
{
    throw AppError(AppError::OutOfMemory, kSource,
                   QStringLiteral("Out of memory (a picture of %1 x %2 pixels is too large)").arg(width).arg(height));
}

// Composites the picture over white, keeping its colours where it is opaque.
QImage onWhite(const QImage &picture)
{
    QImage out = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < out.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = row[x];
            const int gap = 255 - qAlpha(p);
            row[x] = qRgb(qRed(p) + gap, qGreen(p) + gap, qBlue(p) + gap);
        }
    }
    out.reinterpretAsFormat(QImage::Format_RGB32);
    return out;
}

quint32 readUnsigned(const uchar *p, int bytes, bool bigEndian)
{
    quint32 v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= quint32(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return v;
}

// The EXIF orientation (1 to 8) of a JPEG file, 1 when there is none. Read
// here rather than by Qt, which overlooks an orientation stored as a long
// (some cameras do that).
int exifOrientation(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray head = file.read(256 * 1024);
    const auto *d = reinterpret_cast<const uchar *>(head.constData());
    const qsizetype n = head.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return 1;
    qsizetype pos = 2;
    while (pos + 4 <= n && d[pos] == 0xFF) {
        const int marker = d[pos + 1];
        const qsizetype length = readUnsigned(d + pos + 2, 2, true);
        if (marker == 0xDA || marker == 0xD9 || length < 2)
            break;
        const qsizetype body = pos + 4, end = pos + 2 + length;
        if (end > n)
            break;
        if (marker == 0xE1 && end - body >= 14 && std::memcmp(d + body, "Exif\0\0", 6) == 0) {
            const uchar *tiff = d + body + 6;
            const qsizetype size = end - body - 6;
            const bool big = tiff[0] == 'M';
            if ((tiff[0] != 'I' && tiff[0] != 'M') || tiff[1] != tiff[0])
                return 1;
            const qsizetype ifd = readUnsigned(tiff + 4, 4, big);
            if (ifd + 2 > size)
                return 1;
            const int count = int(readUnsigned(tiff + ifd, 2, big));
            for (int i = 0; i < count && ifd + 2 + 12 * (i + 1) <= size; ++i) {
                const uchar *entry = tiff + ifd + 2 + 12 * i;
                if (readUnsigned(entry, 2, big) != 0x0112)
                    continue;
                const quint32 type = readUnsigned(entry + 2, 2, big);
                const quint32 value = type == 3 ? readUnsigned(entry + 8, 2, big)
                                    : (type == 4 || type == 9) ? readUnsigned(entry + 8, 4, big)
                                                               : 1;
                return value >= 1 && value <= 8 ? int(value) : 1;
            }
            return 1;
        }
        pos = end;
    }
    return 1;
}

QImage oriented(const QImage &picture, int orientation)
{
    const auto rotated = [&](qreal degrees) { return picture.transformed(QTransform().rotate(degrees)); };
    switch (orientation) {
    case 2: return picture.mirrored(true, false);
    case 3: return picture.mirrored(true, true);
    case 4: return picture.mirrored(false, true);
    case 5: return rotated(90).mirrored(true, false);
    case 6: return rotated(90);
    case 7: return rotated(90).mirrored(false, true);
    case 8: return rotated(270);
    default: return picture;
    }
}

} // namespace

void CheckJpegSize(qint64 width, qint64 height)
{
    if (width < 1 || height < 1 || width > MaxJpegSide || height > MaxJpegSide)
        throw AppError(AppError::InvalidCall, kSource,
                       QStringLiteral("The picture size %1 x %2 cannot be written as JPEG "
                                      "(each side must be between 1 and %3 pixels)")
                           .arg(width)
                           .arg(height)
                           .arg(MaxJpegSide));
    if (width * height > MaxPixels)
        tooLarge(width, height);
}

QImage LoadPicture(const QString &path)
{
    // Qt's default limit (256 MB) refuses large camera pictures; our own
    // pixel check below comes first anyway.
    static const bool limitRaised = [] {
        QImageReader::setAllocationLimit(int(MaxPixels * 4 / (1024 * 1024)) + 64);
        return true;
    }();
    Q_UNUSED(limitRaised);

    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        throw AppError(AppError::FileNotFound, kSource);
    if (!info.isFile())
        invalidPicture();

    if (HeifPicture::IsHeif(path)) {
        const QImage heif = HeifPicture::LoadHeif(path, [](qint64 w, qint64 h) { if (w * h > MaxPixels) tooLarge(w, h); });
        return heif.hasAlphaChannel() ? onWhite(heif) : heif;
    }
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    static const QList<QByteArray> formats{"jpeg", "gif", "bmp", "png", "webp", "tiff"};
    if (!formats.contains(format))
        invalidPicture();
    // Qt applies a TIFF's orientation tag; a JPEG's is read below.
    reader.setAutoTransform(format == "tiff");
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty())
        invalidPicture();
    if (qint64(size.width()) * size.height() > MaxPixels)
        tooLarge(size.width(), size.height());

    QImage picture;
    if (!reader.read(&picture) || picture.isNull())
        invalidPicture();
    if (format == "jpeg")
        picture = oriented(picture, exifOrientation(path));
    if (picture.isNull())
        tooLarge(size.width(), size.height());
    if (picture.hasAlphaChannel())
        return onWhite(picture);
    if (picture.format() != QImage::Format_RGB32)
        picture.convertTo(QImage::Format_RGB32);
    if (picture.isNull())
        tooLarge(size.width(), size.height());
    return picture;
}

QImage StretchPicture(const QImage &picture, int width, int height)
{
    CheckJpegSize(width, height);
    QImage scaled = picture.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (scaled.isNull())
        tooLarge(width, height);
    if (scaled.format() != QImage::Format_RGB32)
        scaled.convertTo(QImage::Format_RGB32);
    return scaled;
}

} // namespace Picture
