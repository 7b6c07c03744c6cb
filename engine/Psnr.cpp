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
bool sumSquares(const cDIBSection &source, const std::vector<std::uint8_t> &jpeg, std::int32_t firstRow,
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
    dinfo.out_color_space = JCS_EXT_BGR;   // the image's own byte order
    jpeg_start_decompress(&dinfo);
    const std::int32_t width = source.Width(), height = source.Height(), stride = source.BytesPerScanLine();
    if (std::int64_t(dinfo.output_width) != width || std::int64_t(dinfo.output_height) != height
        || dinfo.output_components != 3) {
        jpeg_destroy_decompress(&dinfo);
        return false;
    }
    JSAMPROW row = (*dinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&dinfo), JPOOL_IMAGE,
                                                JDIMENSION(width) * 3, 1)[0];
    if (firstRow > 0)
        jpeg_skip_scanlines(&dinfo, JDIMENSION(firstRow));
    while (dinfo.output_scanline < JDIMENSION(endRow)) {
        const std::int32_t y = std::int32_t(dinfo.output_scanline);
        jpeg_read_scanlines(&dinfo, &row, 1);
        // The image's rows are bottom-up.
        const std::uint8_t *original = source.DIBSectionBitsPtr() + std::int64_t(height - 1 - y) * stride;
        // 32-bit sums over runs short enough not to overflow, which the
        // compiler turns into vector code.
        for (std::int32_t from = 0; from < width * 3; from += 8192) {
            std::uint32_t part = 0;
            for (std::int32_t i = from, end = std::min(width * 3, from + 8192); i < end; ++i) {
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

double JpegAgainst(const cDIBSection &source, const std::vector<std::uint8_t> &jpeg)
{
    // Two halves on two threads: a large picture's decode is most of the
    // cost, and the skipped half costs the second thread little.
    const std::int32_t height = source.Height(), half = height >= 256 ? height / 2 : height;
    std::uint64_t sum = 0, bottom = 0;
    bool ok = source.DIBSectionBitsPtr() && !jpeg.empty();
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
    const double mse = double(sum) / (3.0 * double(source.Width()) * double(source.Height()));
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace Psnr
