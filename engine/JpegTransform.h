#pragma once

#include <cstddef>
#include <cstdint>

// The quality-independent half of the program's JPEG encoding, in the same
// integer arithmetic as libjpeg-turbo: colour conversion, 2x2 chroma
// down-sampling and the exact (islow) forward DCT, vectorised for the
// processor found at run time (AVX2 or SSE2). The files written from them
// are byte for byte libjpeg's own, which the writer's tests check.
namespace JpegTransform {

// Zig-zag position -> natural (row-major) index.
inline constexpr int kNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// One row of blue, green, red pixels of 3 bytes (or 4, the last one left
// alone) to Y, Cb and Cr samples.
void ConvertRow(const std::uint8_t *bgr, int width, std::uint8_t *y, std::uint8_t *cb, std::uint8_t *cr,
                int pixelBytes = 3);

// One row of `width` down-sampled samples from two rows of 2 * width, with
// libjpeg's alternating rounding bias.
void DownsampleRow(const std::uint8_t *top, const std::uint8_t *bottom, int width, std::uint8_t *out);

// Forward DCTs of `count` blocks of 8x8 samples that lie side by side from
// `samples` (rows `stride` apart). out[b * 64 + n] is coefficient n (row-major)
// of block b, scaled up by 8 as libjpeg's quantiser expects.
void ForwardDct(const std::uint8_t *samples, std::size_t stride, int count, std::int32_t *out);

} // namespace JpegTransform
