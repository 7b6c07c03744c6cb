#include "TiffPicture.h"

#include "AppError.h"
#include "DecoderComplaints.h"
#include "JpegDecoder.h"
#include "Picture.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <tiffio.h>
#include <vector>

namespace TiffPicture {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Picture");

// The file, read from memory.
struct Stream
{
    const QByteArray &bytes;
    toff_t at = 0;
};

tmsize_t readBytes(thandle_t h, void *to, tmsize_t n)
{
    auto *s = static_cast<Stream *>(h);
    const toff_t size = toff_t(s->bytes.size());
    if (n <= 0 || s->at >= size)
        return 0;
    const toff_t count = std::min<toff_t>(toff_t(n), size - s->at);
    std::memcpy(to, s->bytes.constData() + s->at, count);
    s->at += count;
    return tmsize_t(count);
}

tmsize_t writeBytes(thandle_t, void *, tmsize_t) { return -1; }

toff_t seekTo(thandle_t h, toff_t offset, int whence)
{
    auto *s = static_cast<Stream *>(h);
    const toff_t base = whence == SEEK_CUR ? s->at : whence == SEEK_END ? toff_t(s->bytes.size()) : 0;
    s->at = base + offset;
    return s->at;
}

int closeStream(thandle_t) { return 0; }
toff_t sizeOf(thandle_t h) { return toff_t(static_cast<Stream *>(h)->bytes.size()); }

int mapStream(thandle_t h, void **base, toff_t *size)
{
    auto *s = static_cast<Stream *>(h);
    *base = const_cast<char *>(s->bytes.constData());
    *size = toff_t(s->bytes.size());
    return 1;
}

void unmapStream(thandle_t, void *, toff_t) {}

// libtiff's own buffers stay small next to the picture.
constexpr tmsize_t MaxLibtiffAllocation = tmsize_t(64) << 20;

struct Tiff
{
    explicit Tiff(const QByteArray &bytes) : stream{bytes}
    {
        TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetMaxSingleMemAlloc(options, MaxLibtiffAllocation);
        tiff = TIFFClientOpenExt("picture", "r", &stream, readBytes, writeBytes, seekTo, closeStream, sizeOf,
                                 mapStream, unmapStream, options);
        TIFFOpenOptionsFree(options);
    }
    ~Tiff()
    {
        if (tiff)
            TIFFClose(tiff);
    }
    Tiff(const Tiff &) = delete;
    Tiff &operator=(const Tiff &) = delete;

    Stream stream;
    TIFF *tiff = nullptr;
};

struct Layout
{
    Header header;
    int samples = 0;
    int bits = 0;
};

std::optional<Layout> cmykLayout(TIFF *tiff)
{
    uint16_t photometric = 0, bits = 0, samples = 0, planar = 0, inks = 0, format = 0, orientation = 1;
    uint32_t width = 0, height = 0;
    if (!tiff || !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) || photometric != PHOTOMETRIC_SEPARATED)
        return {};
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &inks);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    // Anything else is left to Qt's reader, which says why it cannot.
    if (TIFFIsTiled(tiff) || planar != PLANARCONFIG_CONTIG || inks != INKSET_CMYK || samples < 4
        || (bits != 8 && bits != 16) || format != SAMPLEFORMAT_UINT || width < 1 || height < 1
        || width > uint32_t(INT_MAX) || height > uint32_t(INT_MAX))
        return {};
    Layout layout;
    layout.header.size = QSize(int(width), int(height));
    layout.header.orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
    layout.samples = samples;
    layout.bits = bits;
    return layout;
}

} // namespace

std::optional<Header> CmykHeader(const QByteArray &file)
{
    DecoderComplaints quiet;
    const Tiff tiff(file);
    if (const auto layout = cmykLayout(tiff.tiff))
        return layout->header;
    return {};
}

QImage LoadCmyk(const QByteArray &file, const std::function<void(QSize)> &beforeAllocating,
                const std::function<bool()> &cancelled)
{
    DecoderComplaints complaints;
    const Tiff tiff(file);
    const auto layout = cmykLayout(tiff.tiff);
    const auto refuse = [&] { Picture::RefuseInvalid(complaints.first()); };
    if (!layout)
        refuse();
    const QSize size = layout->header.size;
    beforeAllocating(size);
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull())
        throw AppError(AppError::OutOfMemory, kSource);
    std::vector<uchar> row(std::size_t(std::max<tmsize_t>(TIFFScanlineSize(tiff.tiff), 0)));
    const std::size_t step = std::size_t(layout->samples) * std::size_t(layout->bits / 8);
    if (row.size() < step * std::size_t(size.width()))
        refuse();
    for (int y = 0; y < size.height(); ++y) {
        if (cancelled && cancelled())
            throw AppError(AppError::UserInterrupt, kSource, QStringLiteral("The load was cancelled"));
        if (TIFFReadScanline(tiff.tiff, row.data(), uint32_t(y), 0) < 0)
            refuse();
        auto *out = reinterpret_cast<QRgb *>(picture.scanLine(y));
        const uchar *p = row.data();
        if (layout->bits == 8) {
            for (int x = 0; x < size.width(); ++x, p += step)
                out[x] = JpegDecoder::FromInks(p[0] * 257, p[1] * 257, p[2] * 257, p[3] * 257);
        } else {
            for (int x = 0; x < size.width(); ++x, p += step) {
                const auto *v = reinterpret_cast<const uint16_t *>(p);
                out[x] = JpegDecoder::FromInks(v[0], v[1], v[2], v[3]);
            }
        }
    }
    return picture;
}

} // namespace TiffPicture
