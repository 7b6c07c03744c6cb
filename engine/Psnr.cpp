#include "Psnr.h"

#include "AppError.h"
#include "JpegDecoder.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <limits>

#include <jpeglib.h>

namespace Psnr {
namespace {

struct ErrorJump
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void errorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorJump *>(cinfo->err)->jump, 1); }
void outputMessage(j_common_ptr) {}

// One decompressor reading rows. Every call into libjpeg sets its own jump
// point in a frame with nothing to destroy, so a failure crosses no C++
// frame; it makes the call return false.
struct Reader
{
    jpeg_decompress_struct d {};
    ErrorJump err {};
    bool created = false;
    std::vector<std::uint8_t> row;

    Reader() = default;
    Reader(const Reader &) = delete;
    ~Reader()
    {
        if (created)
            jpeg_destroy_decompress(&d);   // a decode stopped early is abandoned, not finished
    }
};

// Starts `r` on the bytes from `firstRow` on, in the layout's byte order;
// false unless they are a JPEG of the layout's size.
bool start(Reader &r, const std::uint8_t *bytes, std::size_t length, const PixelRows &layout, std::int32_t firstRow)
{
    r.d.err = jpeg_std_error(&r.err.pub);
    r.err.pub.error_exit = errorExit;
    r.err.pub.output_message = outputMessage;
    if (setjmp(r.err.jump))
        return false;
    jpeg_create_decompress(&r.d);
    r.created = true;
    jpeg_mem_src(&r.d, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&r.d, TRUE);
    // The source's own byte order; a fourth byte is the same filler in both.
    r.d.out_color_space = layout.pixelBytes == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    jpeg_start_decompress(&r.d);
    if (std::int64_t(r.d.output_width) != layout.width || std::int64_t(r.d.output_height) != layout.height
        || r.d.output_components != layout.pixelBytes)
        return false;
    if (firstRow > 0)
        jpeg_skip_scanlines(&r.d, JDIMENSION(firstRow));
    return true;
}

bool readRow(Reader &r, JSAMPROW row)
{
    if (setjmp(r.err.jump))
        return false;
    jpeg_read_scanlines(&r.d, &row, 1);
    return true;
}

// The next row of `r`, in its own buffer; null when libjpeg fails.
const std::uint8_t *next(Reader &r, std::size_t bytes)
{
    r.row.resize(bytes);
    return readRow(r, r.row.data()) ? r.row.data() : nullptr;
}

// Squared differences of two rows, in 32-bit sums over runs short enough
// not to overflow, which the compiler turns into vector code.
__attribute__((target_clones("avx2", "default"))) std::uint64_t squares(const std::uint8_t *a, const std::uint8_t *b,
                                                                      std::int32_t bytes)
{
    std::uint64_t sum = 0;
    for (std::int32_t from = 0; from < bytes; from += 8192) {
        std::uint32_t part = 0;
        for (std::int32_t i = from, end = std::min(bytes, from + 8192); i < end; ++i) {
            const int d = int(a[i]) - int(b[i]);
            part += std::uint32_t(d * d);
        }
        sum += part;
    }
    return sum;
}

// The rows from firstRow to endRow (counted from the top) of the encoded
// JPEG against the source: pixels in memory, or a second JPEG decoded in
// step. False when either cannot be decoded as the source's layout.
bool sumSquares(const PixelRows &source, const QByteArray *sourceJpeg, const std::vector<std::uint8_t> &jpeg,
                std::int32_t firstRow, std::int32_t endRow, std::uint64_t &sum, Reader *started = nullptr)
{
    Reader encoded, own;
    Reader &original = started ? *started : own;
    if (!start(encoded, jpeg.data(), jpeg.size(), source, firstRow)
        || (sourceJpeg && !started
            && !start(original, reinterpret_cast<const std::uint8_t *>(sourceJpeg->constData()),
                      std::size_t(sourceJpeg->size()), source, firstRow)))
        return false;
    const std::int32_t rowBytes = source.width * source.pixelBytes;
    for (std::int32_t y = firstRow; y < endRow; ++y) {
        const std::uint8_t *row = next(encoded, std::size_t(rowBytes));
        const std::uint8_t *from = sourceJpeg ? next(original, std::size_t(rowBytes)) : source.row(y);
        if (!row || !from)
            return false;
        sum += squares(row, from, rowBytes);
    }
    return true;
}

[[noreturn]] void cannotCompare()
{
    throw AppError(AppError::InvalidCall, QStringLiteral("Quillmoss.Psnr"),
                   QStringLiteral("The encoded picture cannot be compared with its source"));
}

double fromSum(std::uint64_t sum, std::int32_t width, std::int32_t height)
{
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    const double mse = double(sum) / (3.0 * double(width) * double(height));
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Where the second of two threads starts.
std::int32_t halfOf(std::int32_t height, bool split) { return split && height >= 256 ? height / 2 : height; }

double compare(const PixelRows &source, const QByteArray *sourceJpeg, const std::vector<std::uint8_t> &jpeg,
               bool split, Reader *lowerSource = nullptr)
{
    // Two halves on two threads: a large picture's decode is most of the
    // cost, and the skipped half costs the second thread little.
    const std::int32_t height = source.height, half = halfOf(height, split);
    std::uint64_t sum = 0, bottom = 0;
    bool ok = source.width > 0 && height > 0 && !jpeg.empty();
    QFuture<bool> lower;
    if (ok && half < height)
        lower = QtConcurrent::run(
            [&] { return sumSquares(source, sourceJpeg, jpeg, half, height, bottom, lowerSource); });
    ok = ok && sumSquares(source, sourceJpeg, jpeg, 0, half, sum);
    if (lower.isValid())
        ok = lower.result() && ok;
    if (!ok)
        cannotCompare();
    return fromSum(sum + bottom, source.width, source.height);
}

} // namespace

double JpegAgainst(const PixelRows &source, const std::vector<std::uint8_t> &jpeg)
{
    if (source.isNull())
        cannotCompare();
    return compare(source, nullptr, jpeg, true);
}

namespace {

struct Source
{
    PixelRows layout;   // the size and byte order only
    bool split = false;

    explicit Source(const QByteArray &sourceJpeg)
    {
        const JpegDecoder::Header header = JpegDecoder::ReadHeader(sourceJpeg);
        layout.width = header.size.width();
        layout.height = header.size.height();
        layout.pixelBytes = 4;
        // A progressive source holds all its coefficients in each decoder: one.
        split = !header.progressive;
    }
};

} // namespace

struct LowerHalf::Impl
{
    QByteArray sourceJpeg;
    Source source;
    Reader reader;
    QFuture<bool> started;

    explicit Impl(const QByteArray &file) : sourceJpeg(file), source(file) {}
};

LowerHalf::LowerHalf(const QByteArray &sourceJpeg) : d(std::make_unique<Impl>(sourceJpeg))
{
    const std::int32_t half = halfOf(d->source.layout.height, d->source.split);
    if (half < d->source.layout.height)
        d->started = QtConcurrent::run([impl = d.get(), half] {
            return start(impl->reader, reinterpret_cast<const std::uint8_t *>(impl->sourceJpeg.constData()),
                         std::size_t(impl->sourceJpeg.size()), impl->source.layout, half);
        });
}

LowerHalf::~LowerHalf()
{
    if (d->started.isValid())
        d->started.waitForFinished();
}

double JpegAgainst(const QByteArray &sourceJpeg, const std::vector<std::uint8_t> &jpeg, LowerHalf *ahead)
{
    if (ahead && ahead->d->sourceJpeg.constData() == sourceJpeg.constData() && ahead->d->started.isValid()) {
        Reader *lower = ahead->d->started.result() ? &ahead->d->reader : nullptr;
        if (!lower)
            cannotCompare();
        LowerHalf::Impl &a = *ahead->d;
        const double psnr = compare(a.source.layout, &sourceJpeg, jpeg, a.source.split, lower);
        a.started = {};   // its reader has been read
        return psnr;
    }
    const Source source(sourceJpeg);
    return compare(source.layout, &sourceJpeg, jpeg, source.split);
}

double JpegAgainst(QSize size, const BandFeed &source, const std::vector<std::uint8_t> &jpeg)
{
    PixelRows layout;
    layout.width = size.width();
    layout.height = size.height();
    layout.pixelBytes = 4;
    if (size.isEmpty() || jpeg.empty())
        cannotCompare();
    // The encoded file is decoded on a second thread into one of two
    // bands while the source's rows are read out here and compared with the
    // other.
    constexpr std::int32_t kBandRows = 64;
    const std::size_t rowBytes = std::size_t(size.width()) * 4;
    struct Band
    {
        std::vector<std::uint8_t> rows;
        bool ok = true;
    };
    std::array<Band, 2> bands;
    for (Band &b : bands)
        b.rows.resize(rowBytes * kBandRows);
    QSemaphore empty(2), full(0);
    std::atomic<bool> stop {false};
    QFuture<void> decoding = QtConcurrent::run([&] {
        Reader encoded;
        bool ok = start(encoded, jpeg.data(), jpeg.size(), layout, 0);
        for (std::int32_t first = 0, i = 0; first < layout.height; first += kBandRows, i ^= 1) {
            empty.acquire();
            if (stop)
                return;
            Band &b = bands[std::size_t(i)];
            for (std::int32_t r = 0; ok && r < std::min(kBandRows, layout.height - first); ++r)
                ok = readRow(encoded, b.rows.data() + std::size_t(r) * rowBytes);
            b.ok = ok;
            full.release();
        }
    });
    const auto finish = qScopeGuard([&] {
        stop = true;
        empty.release(2);
        decoding.waitForFinished();
    });
    std::uint64_t sum = 0;
    std::int32_t rows = 0;
    bool ok = true;
    source([&](const PixelRows &band) {
        for (std::int32_t y = band.first; ok && y < band.first + band.height; ++y, ++rows) {
            ok = band.width == size.width() && y == rows && rows < layout.height;
            if (!ok)
                break;
            const Band &b = bands[std::size_t(rows / kBandRows % 2)];
            if (rows % kBandRows == 0)
                full.acquire();
            ok = b.ok;
            if (ok)
                sum += squares(b.rows.data() + std::size_t(rows % kBandRows) * rowBytes, band.row(y),
                               size.width() * band.pixelBytes);
            if (rows % kBandRows == kBandRows - 1 || rows + 1 == layout.height)
                empty.release();
        }
    });
    if (!ok || rows != size.height())
        cannotCompare();
    return fromSum(sum, size.width(), size.height());
}

} // namespace Psnr
