#include "Psnr.h"

#include "AppError.h"
#include "JpegDecoder.h"

#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
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

// Squared differences of the rows from firstRow to endRow (counted from the
// top); false when libjpeg fails. The rows before firstRow are skipped,
// which costs only their entropy decoding. No C++ object with a destructor
// lives in this frame, so the longjmp skips none.
// The source: pixels in memory, or a second JPEG (`sourceJpeg`, non-null)
// decoded in step with the first into `sourceRow`.
struct Decoders
{
    jpeg_decompress_struct encoded, source;
    bool sourceCreated = false;
};

// Starts `d` on the bytes at the rows' size and layout from `firstRow` on;
// false when it does not match.
bool start(jpeg_decompress_struct &d, const std::uint8_t *bytes, std::size_t length, const PixelRows &layout,
           std::int32_t firstRow)
{
    jpeg_mem_src(&d, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&d, TRUE);
    // The source's own byte order; a fourth byte is the same filler in both.
    d.out_color_space = layout.pixelBytes == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    jpeg_start_decompress(&d);
    if (std::int64_t(d.output_width) != layout.width || std::int64_t(d.output_height) != layout.height
        || d.output_components != layout.pixelBytes)
        return false;
    if (firstRow > 0)
        jpeg_skip_scanlines(&d, JDIMENSION(firstRow));
    return true;
}

bool sumSquares(const PixelRows &source, const QByteArray *sourceJpeg, const std::vector<std::uint8_t> &jpeg,
                std::int32_t firstRow, std::int32_t endRow, std::uint64_t &sum)
{
    Decoders d;
    ErrorJump err;
    d.encoded.err = d.source.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = outputMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d.encoded);
        if (d.sourceCreated)
            jpeg_destroy_decompress(&d.source);
        return false;
    }
    jpeg_create_decompress(&d.encoded);
    if (sourceJpeg) {
        jpeg_create_decompress(&d.source);
        d.sourceCreated = true;
    }
    const std::int32_t rowBytes = source.width * source.pixelBytes;
    bool ok = start(d.encoded, jpeg.data(), jpeg.size(), source, firstRow);
    if (ok && sourceJpeg)
        ok = start(d.source, reinterpret_cast<const std::uint8_t *>(sourceJpeg->constData()),
                   std::size_t(sourceJpeg->size()), source, firstRow);
    if (!ok) {
        jpeg_destroy_decompress(&d.encoded);
        if (d.sourceCreated)
            jpeg_destroy_decompress(&d.source);
        return false;
    }
    JSAMPROW row = (*d.encoded.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&d.encoded), JPOOL_IMAGE,
                                                    JDIMENSION(rowBytes), 2)[0];
    JSAMPROW sourceRow = row + rowBytes;
    while (d.encoded.output_scanline < JDIMENSION(endRow)) {
        const std::int32_t y = std::int32_t(d.encoded.output_scanline);
        jpeg_read_scanlines(&d.encoded, &row, 1);
        if (sourceJpeg)
            jpeg_read_scanlines(&d.source, &sourceRow, 1);
        const std::uint8_t *original = sourceJpeg ? sourceRow : source.row(y);
        // 32-bit sums over runs short enough not to overflow, which the
        // compiler turns into vector code. A fourth byte is the same filler
        // in both rows, so it adds nothing.
        for (std::int32_t from = 0; from < rowBytes; from += 8192) {
            std::uint32_t part = 0;
            for (std::int32_t i = from, end = std::min(rowBytes, from + 8192); i < end; ++i) {
                const int d = int(row[i]) - int(original[i]);
                part += std::uint32_t(d * d);
            }
            sum += part;
        }
    }
    // A decode stopped early is abandoned, not finished.
    jpeg_destroy_decompress(&d.encoded);
    if (d.sourceCreated)
        jpeg_destroy_decompress(&d.source);
    return true;
}


double compare(const PixelRows &source, const QByteArray *sourceJpeg, const std::vector<std::uint8_t> &jpeg,
               bool split)
{
    // Two halves on two threads: a large picture's decode is most of the
    // cost, and the skipped half costs the second thread little.
    const std::int32_t height = source.height, half = split && height >= 256 ? height / 2 : height;
    std::uint64_t sum = 0, bottom = 0;
    bool ok = source.width > 0 && height > 0 && !jpeg.empty();
    QFuture<bool> lower;
    if (ok && half < height)
        lower = QtConcurrent::run([&] { return sumSquares(source, sourceJpeg, jpeg, half, height, bottom); });
    ok = ok && sumSquares(source, sourceJpeg, jpeg, 0, half, sum);
    if (lower.isValid())
        ok = lower.result() && ok;
    sum += bottom;
    if (!ok)
        throw AppError(AppError::InvalidCall, QStringLiteral("Quillmoss.Psnr"),
                       QStringLiteral("The encoded picture cannot be compared with its source"));
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    const double mse = double(sum) / (3.0 * double(source.width) * double(source.height));
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace

double JpegAgainst(const PixelRows &source, const std::vector<std::uint8_t> &jpeg)
{
    if (source.isNull())
        return compare(PixelRows{}, nullptr, {}, true);
    return compare(source, nullptr, jpeg, true);
}

double JpegAgainst(const QByteArray &sourceJpeg, const std::vector<std::uint8_t> &jpeg)
{
    const JpegDecoder::Header header = JpegDecoder::ReadHeader(sourceJpeg);
    PixelRows layout;   // the size and byte order only
    layout.width = header.size.width();
    layout.height = header.size.height();
    layout.pixelBytes = 4;
    // A progressive source holds all its coefficients in each decoder: one.
    return compare(layout, &sourceJpeg, jpeg, !header.progressive);
}

} // namespace Psnr
