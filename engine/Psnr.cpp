#include "Psnr.h"

#include "AppError.h"

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
bool sumSquares(const PixelRows &source, const std::vector<std::uint8_t> &jpeg, std::int32_t firstRow,
                std::int32_t endRow, std::uint64_t &sum)
{
    jpeg_decompress_struct dinfo;
    ErrorJump err;
    dinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = errorExit;
    err.pub.output_message = outputMessage;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&dinfo);
        return false;
    }
    jpeg_create_decompress(&dinfo);
    jpeg_mem_src(&dinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&dinfo, TRUE);
    // The source's own byte order; a fourth byte is skipped below.
    dinfo.out_color_space = source.pixelBytes == 4 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    jpeg_start_decompress(&dinfo);
    const std::int32_t width = source.width, height = source.height, rowBytes = width * source.pixelBytes;
    if (std::int64_t(dinfo.output_width) != width || std::int64_t(dinfo.output_height) != height
        || dinfo.output_components != source.pixelBytes) {
        jpeg_destroy_decompress(&dinfo);
        return false;
    }
    JSAMPROW row = (*dinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&dinfo), JPOOL_IMAGE,
                                                JDIMENSION(rowBytes), 1)[0];
    if (firstRow > 0)
        jpeg_skip_scanlines(&dinfo, JDIMENSION(firstRow));
    while (dinfo.output_scanline < JDIMENSION(endRow)) {
        const std::int32_t y = std::int32_t(dinfo.output_scanline);
        jpeg_read_scanlines(&dinfo, &row, 1);
        const std::uint8_t *original = source.row(y);
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
    jpeg_destroy_decompress(&dinfo);
    return true;
}

} // namespace

double JpegAgainst(const PixelRows &source, const std::vector<std::uint8_t> &jpeg)
{
    // Two halves on two threads: a large picture's decode is most of the
    // cost, and the skipped half costs the second thread little.
    const std::int32_t height = source.height, half = height >= 256 ? height / 2 : height;
    std::uint64_t sum = 0, bottom = 0;
    bool ok = !source.isNull() && !jpeg.empty();
    QFuture<bool> lower;
    if (ok && half < height)
        lower = QtConcurrent::run([&] { return sumSquares(source, jpeg, half, height, bottom); });
    ok = ok && sumSquares(source, jpeg, 0, half, sum);
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

} // namespace Psnr
