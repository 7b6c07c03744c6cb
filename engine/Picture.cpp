#include "Picture.h"

#include "AppError.h"
#include "DecoderComplaints.h"
#include "FileNames.h"
#include "HeifPicture.h"
#include "JpegDecoder.h"
#include "Metadata.h"
#include "TiffPicture.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTransform>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace Picture {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Picture");
constexpr int InvalidPicture = AppError::InvalidPicture;
// How every JPEG file starts: its start-of-image marker and the next marker's.
const QByteArray kJpegStart("\xFF\xD8\xFF", 3);


[[noreturn]] void tooLarge(qint64 width, qint64 height)
{
    throw AppError(AppError::OutOfMemory, kSource,
                   QStringLiteral("Out of memory (a picture of %1 x %2 pixels is too large)").arg(width).arg(height));
}

// Composites the picture over white, keeping its colours where it is
// opaque; in place when the picture is held nowhere else.
QImage onWhite(QImage out)
{
    out.convertTo(QImage::Format_ARGB32_Premultiplied);
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


// Qt's TIFF reader seeks past the end of a cut file; QBuffer would print
// a warning for each seek.
class QuietBuffer : public QBuffer
{
public:
    using QBuffer::QBuffer;
    bool seek(qint64 pos) override { return pos >= 0 && pos <= size() && QBuffer::seek(pos); }
};

// A file under 1 MB may claim at most this much working memory; larger
// files BytesPerFileByte for each of their bytes.
constexpr qint64 FreeBytesForAnyFile = qint64(1) << 30;
constexpr qint64 BytesPerFileByte = 1024;

// A picture file read into memory, with what its header says.
struct Source
{
    QByteArray bytes;
    QByteArray format;      // "jpeg", "heif", or one of readByQt
    QSize size;             // the pixels the decoder will allocate, as stored
    int bytesPerPixel = 4;  // what the decoder allocates for each of them
    Metadata metadata;      // a JPEG's EXIF block
};

quint32 littleEndian(const QByteArray &b, int at, int bytes)
{
    return b.size() >= at + bytes ? readUnsigned(reinterpret_cast<const uchar *>(b.constData()) + at, bytes, false) : 0;
}

// Formats that Qt's own readers decode; JPEG and HEIF have decoders of ours.
const QList<QByteArray> readByQt{"gif", "bmp", "png", "webp", "tiff"};

// The canvas of a WebP with an extended header (animated ones have one),
// read here: Qt's reader allocates and fills it as soon as it is asked for
// the size. An empty size for a simple WebP.
QSize webpCanvas(const QByteArray &b)
{
    if (!b.startsWith("RIFF") || b.mid(8, 8) != "WEBPVP8X")
        return {};
    return {int(littleEndian(b, 24, 3)) + 1, int(littleEndian(b, 27, 3)) + 1};
}

Source open(const QString &path)
{
    // Qt's default limit (256 MB) refuses large camera pictures. Our own
    // budget check comes first; this one stops what a header hid from it.
    static const bool limitSet = [] {
        QImageReader::setAllocationLimit(int(FreeBytesForAnyFile / (1024 * 1024)));
        return true;
    }();
    Q_UNUSED(limitSet);

    const FileNames::Status info = FileNames::status(path);
    if (!info.exists)
        throw AppError(AppError::FileNotFound, kSource,
                       QStringLiteral("File not found (%1)").arg(QDir::toNativeSeparators(path)));
    if (info.isDir)
        throw AppError(InvalidPicture, kSource, QStringLiteral("Invalid picture (%1 is a folder)").arg(QDir::toNativeSeparators(path)));
    QFile file;
    if (!info.isFile || !FileNames::openForReading(file, path))
        throw AppError(AppError::PermissionDenied, kSource,
                       QStringLiteral("Permission denied (%1: %2)")
                           .arg(QDir::toNativeSeparators(path),
                                QString::fromLocal8Bit(std::strerror(info.isFile ? errno : EINVAL))));
    // A decoder's complaints about a broken header are the cause, not noise.
    DecoderComplaints complaints;
    Source source;
    source.bytes = file.readAll();
    QuietBuffer buffer(&source.bytes);
    buffer.open(QIODevice::ReadOnly);
    // Qt's own guess loads every image plugin, a few milliseconds in which
    // a batch's other worker waits for it: a JPEG is known by its marker.
    source.format = source.bytes.startsWith(kJpegStart) ? QByteArray("jpeg") : QImageReader::imageFormat(&buffer);
    if (source.format == "jpeg") {
        const JpegDecoder::Header header = JpegDecoder::ReadHeader(source.bytes);
        source.size = header.size;
        source.metadata = Metadata::FromJpeg(source.bytes);
    } else if (HeifPicture::IsHeif(source.bytes)) {
        source.format = "heif";
        source.size = HeifPicture::Size(source.bytes);
    } else if (const auto cmyk = source.format == "tiff" ? TiffPicture::CmykHeader(source.bytes) : std::nullopt) {
        source.format = "cmyk";
        source.size = cmyk->size;
        source.metadata.orientation = cmyk->orientation;
    } else if (const QSize canvas = webpCanvas(source.bytes); source.format == "webp" && !canvas.isEmpty()) {
        source.size = canvas;
    } else if (readByQt.contains(source.format)) {
        QImageReader reader(&buffer, source.format);
        const QSize size = reader.size();
        // A top-down BMP gives a negative height.
        source.size = QSize(qAbs(size.width()), qAbs(size.height()));
        // 16-bit and floating-point PNGs and TIFFs decode at 8 or 16 bytes a pixel.
        source.bytesPerPixel = std::max(4, QImage::toPixelFormat(reader.imageFormat()).bitsPerPixel() / 8);
        if (source.format == "gif") {
            // Qt allocates the logical screen, whatever the first frame's size.
            source.size = source.size.expandedTo(QSize(int(littleEndian(source.bytes, 6, 2)),
                                                       int(littleEndian(source.bytes, 8, 2))));
        }
    } else {
        RefuseInvalid();
    }
    if (source.size.isEmpty())
        RefuseInvalid(complaints.first());
    return source;
}

// Qt widens 5- and 6-bit BMP channels by a shift (31 becomes 248); stretch
// them to the full range, so that white stays white.
void widenBmpChannels(QImage &picture, const QByteArray &bmp)
{
    if (littleEndian(bmp, 28, 2) != 16)
        return;
    const quint32 compression = littleEndian(bmp, 30, 4);
    quint32 masks[3] = {0x7C00, 0x03E0, 0x001F};
    if (compression == 3)
        for (int i = 0; i < 3; ++i)
            masks[i] = littleEndian(bmp, 54 + 4 * i, 4);
    else if (compression != 0)
        return;
    int bits[3];
    for (int i = 0; i < 3; ++i)
        bits[i] = std::popcount(masks[i]);
    if (std::any_of(std::begin(bits), std::end(bits), [](int b) { return b < 1 || b >= 8; }))
        return;
    uchar tables[3][256];
    for (int c = 0; c < 3; ++c)
        for (int v = 0; v < 256; ++v) {
            const int top = v >> (8 - bits[c]), most = (1 << bits[c]) - 1;
            tables[c][v] = uchar((top * 255 + most / 2) / most);
        }
    picture.convertTo(QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x)
            row[x] = qRgb(tables[0][qRed(row[x])], tables[1][qGreen(row[x])], tables[2][qBlue(row[x])]);
    }
}

} // namespace

void RefuseInvalid(const QString &cause)
{
    throw AppError(AppError::InvalidPicture, kSource,
                   cause.isEmpty() ? QStringLiteral("Invalid picture") : QStringLiteral("Invalid picture (%1)").arg(cause));
}

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

QImage LoadPicture(const QString &path, const std::function<bool()> &cancelled, QSize minSize, Metadata *metadata)
{
    const Source source = open(path);
    if (metadata)
        *metadata = source.metadata;
    const qint64 fullPixels = qint64(source.size.width()) * source.size.height();
    const bool turned = source.metadata.orientation >= 5;
    if (turned)
        minSize.transpose();

    MemoryBudget::Reservation reservation;
    // bytes: what the decode holds at its peak.
    const auto reserve = [&](QSize decoded, qint64 bytes) {
        const qint64 pixels = qint64(decoded.width()) * decoded.height();
        if (pixels > MaxPixels)
            tooLarge(decoded.width(), decoded.height());
        const QSize oriented = turned ? decoded.transposed() : decoded;
        const QSize target = minSize.isEmpty() ? decoded : minSize;
        // However small the file, it may not make us hold more than 1 GiB:
        // a few hundred bytes can claim a picture of gigabytes.
        const qint64 needed = std::max(bytes, SquashBytes(decoded, target));
        if (needed > std::max(FreeBytesForAnyFile, BytesPerFileByte * source.bytes.size()))
            tooLarge(oriented.width(), oriented.height());
        reservation = MemoryBudget::instance().reserve(bytes, oriented.width(), oriented.height());
    };

    QImage picture;
    if (source.format == "jpeg") {
        JpegDecoder::Options options;
        options.minSize = minSize;
        options.cancelled = cancelled;
        // The picture and one converted copy of it; a progressive JPEG's
        // coefficients for the whole picture at full scale.
        options.beforeAllocating = [&](QSize decoded, bool progressive) {
            reserve(decoded, 8 * qint64(decoded.width()) * decoded.height() + (progressive ? 3 * fullPixels : 0));
        };
        picture = JpegDecoder::Decode(source.bytes, options);
        picture = oriented(picture, source.metadata.orientation);
    } else if (source.format == "heif") {
        picture = HeifPicture::LoadHeif(source.bytes, reserve, cancelled);
        if (metadata)
            *metadata = Metadata::FromHeif(source.bytes);
    } else if (source.format == "cmyk") {
        // The picture, and its turned copy.
        const auto beforeAllocating = [&](QSize decoded) {
            reserve(decoded, (source.metadata.orientation == 1 ? 4 : 8) * fullPixels);
        };
        picture = oriented(TiffPicture::LoadCmyk(source.bytes, beforeAllocating, cancelled), source.metadata.orientation);
    } else {
        // The picture as decoded and one converted copy of it.
        reserve(source.size, (source.bytesPerPixel + 4) * fullPixels);
        if (cancelled && cancelled())
            throw AppError(LoadCancelled, kSource, QStringLiteral("The load was cancelled"));
        QuietBuffer buffer;
        buffer.setData(source.bytes);
        QImageReader reader(&buffer, source.format);
        // Qt applies a TIFF's orientation tag; a JPEG's is read by us.
        reader.setAutoTransform(source.format == "tiff");
        DecoderComplaints complaints;
        if (!reader.read(&picture) || picture.isNull())
            RefuseInvalid(complaints.first());
        if (source.format == "bmp")
            widenBmpChannels(picture, source.bytes);
    }
    if (picture.isNull())
        tooLarge(source.size.width(), source.size.height());
    if (cancelled && cancelled())
        throw AppError(LoadCancelled, kSource, QStringLiteral("The load was cancelled"));
    // Colours are kept as they look: converted to sRGB from the picture's own
    // profile, since the output carries none. A PNG without an ICC profile
    // is taken as sRGB whatever its gamma chunks say, as viewers do.
    const QColorSpace space = picture.colorSpace();
    const bool pngGamma = source.format == "png" && !source.bytes.contains("iCCP");
    if (space.isValid() && !pngGamma && space != QColorSpace(QColorSpace::SRgb)) {
        if (picture.format() != QImage::Format_RGB32 && picture.format() != QImage::Format_ARGB32)
            picture.convertTo(picture.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        picture.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    }
    picture.setColorSpace(QColorSpace());
    // Held once, a picture is converted in place: a deep one (16 bits a
    // channel, floating point) shrinks to 8 bits without a second copy.
    if (picture.hasAlphaChannel())
        picture = onWhite(std::move(picture));
    else if (picture.format() != QImage::Format_RGB32)
        picture.convertTo(QImage::Format_RGB32);
    if (picture.isNull())
        tooLarge(source.size.width(), source.size.height());
    return picture;
}

QByteArray StreamableJpeg(const QString &path, Metadata *metadata)
{
    {
        // Anything but a JPEG goes to LoadPicture unread: it reads the file itself.
        QFile file;
        if (!FileNames::openForReading(file, path) || file.read(kJpegStart.size()) != kJpegStart)
            return {};
    }
    const Source source = open(path);
    const qint64 pixels = qint64(source.size.width()) * source.size.height();
    // Streaming saves the whole decoded picture's memory but decodes the
    // file again to measure the result; below this the memory is small and
    // the second decode is not worth it.
    constexpr qint64 kStreamFrom = qint64(8) << 20;
    if (source.format != "jpeg" || source.metadata.orientation > 1 || pixels < kStreamFrom || pixels > MaxPixels
        || SquashBytes(source.size, source.size) > std::max(FreeBytesForAnyFile, BytesPerFileByte * source.bytes.size())
        || !JpegDecoder::Streamable(source.bytes))
        return {};
    *metadata = source.metadata;
    return source.bytes;
}

QSize PictureSize(const QString &path, QSize minSize)
{
    const Source source = open(path);
    const bool turned = source.metadata.orientation >= 5;
    if (turned)
        minSize.transpose();
    QSize size = source.size;
    if (source.format == "jpeg" && !minSize.isEmpty())
        size = JpegDecoder::ScaledSize(source.bytes, minSize);
    return turned ? size.transposed() : size;
}

qint64 SquashBytes(QSize source, QSize target)
{
    const qint64 from = qint64(source.width()) * source.height();
    const qint64 to = qint64(target.width()) * target.height();
    // The picture, its scaled copy, and the coefficients every encode is
    // made from (3 bytes a pixel) with room for the written file.
    return 4 * from + (target == source ? 0 : 4 * to) + 4 * to;
}

MemoryBudget::Reservation ReserveSquash(QSize source, QSize target)
{
    const QSize named = target.isEmpty() ? source : target;
    return MemoryBudget::instance().reserve(std::max(SquashBytes(source, target), 8 * qint64(source.width()) * source.height()),
                                            named.width(), named.height());
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
