#include "JpegTransform.h"

#include <cstring>

namespace JpegTransform {
namespace {

// libjpeg-turbo's fixed-point constants of jfdctint.c (CONST_BITS 13).
constexpr int CONST_BITS = 13, PASS1_BITS = 2;
constexpr int F_0_298 = 2446, F_0_390 = 3196, F_0_541 = 4433, F_0_765 = 6270, F_0_899 = 7373, F_1_175 = 9633,
              F_1_501 = 12299, F_1_847 = 15137, F_1_961 = 16069, F_2_053 = 16819, F_2_562 = 20995, F_3_072 = 25172;

// One 1-D pass of jpeg_fdct_islow over eight values p[0], p[step], ...; T is
// a wide integer for the reference or a vector of lanes, each lane its own
// block. Every intermediate fits 32 bits for 8-bit samples (libjpeg-turbo's
// own SIMD version relies on the same).
template <typename T, int pass>
[[gnu::always_inline]]
inline void dct1d(T *p, int step)
{
    constexpr int shift = pass == 0 ? CONST_BITS - PASS1_BITS : CONST_BITS + PASS1_BITS;
    const auto descale = [](T x, int n) { return (x + (T{} + (1 << (n - 1)))) >> n; };
    const T tmp0 = p[0] + p[7 * step], tmp7 = p[0] - p[7 * step];
    const T tmp1 = p[step] + p[6 * step], tmp6 = p[step] - p[6 * step];
    const T tmp2 = p[2 * step] + p[5 * step], tmp5 = p[2 * step] - p[5 * step];
    const T tmp3 = p[3 * step] + p[4 * step], tmp4 = p[3 * step] - p[4 * step];
    const T tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    const T tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    if constexpr (pass == 0) {
        p[0] = (tmp10 + tmp11) << PASS1_BITS;
        p[4 * step] = (tmp10 - tmp11) << PASS1_BITS;
    } else {
        p[0] = descale(tmp10 + tmp11, PASS1_BITS);
        p[4 * step] = descale(tmp10 - tmp11, PASS1_BITS);
    }
    T z1 = (tmp12 + tmp13) * F_0_541;
    p[2 * step] = descale(z1 + tmp13 * F_0_765, shift);
    p[6 * step] = descale(z1 + tmp12 * -F_1_847, shift);
    z1 = tmp4 + tmp7;
    T z2 = tmp5 + tmp6, z3 = tmp4 + tmp6, z4 = tmp5 + tmp7;
    const T z5 = (z3 + z4) * F_1_175;
    const T t4 = tmp4 * F_0_298, t5 = tmp5 * F_2_053, t6 = tmp6 * F_3_072, t7 = tmp7 * F_1_501;
    z1 = z1 * -F_0_899;
    z2 = z2 * -F_2_562;
    z3 = z3 * -F_1_961 + z5;
    z4 = z4 * -F_0_390 + z5;
    p[7 * step] = descale(t4 + z1 + z3, shift);
    p[5 * step] = descale(t5 + z2 + z4, shift);
    p[3 * step] = descale(t6 + z2 + z3, shift);
    p[step] = descale(t7 + z1 + z4, shift);
}

// One block at a time, for the blocks left over from groups of eight.
void referenceDct(const std::uint8_t *samples, std::size_t stride, std::int32_t *out)
{
    long data[64];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            data[y * 8 + x] = long(samples[y * stride + x]) - 128;
    for (int i = 0; i < 8; ++i)
        dct1d<long, 0>(data + i * 8, 1);
    for (int i = 0; i < 8; ++i)
        dct1d<long, 1>(data + i, 8);
    for (int n = 0; n < 64; ++n)
        out[n] = std::int32_t(data[n]);
}

// Eight blocks at once, one per lane: no shuffles inside the transform.
using Lanes = std::int32_t __attribute__((vector_size(32)));

__attribute__((target_clones("avx2", "default"))) void dct8(const std::uint8_t *samples, std::size_t stride,
                                                             std::int32_t *out)
{
    Lanes data[64];
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            for (int b = 0; b < 8; ++b)
                data[y * 8 + x][b] = std::int32_t(samples[y * stride + b * 8 + x]) - 128;
    for (int i = 0; i < 8; ++i)
        dct1d<Lanes, 0>(data + i * 8, 1);
    for (int i = 0; i < 8; ++i)
        dct1d<Lanes, 1>(data + i, 8);
    for (int b = 0; b < 8; ++b)
        for (int n = 0; n < 64; ++n)
            out[b * 64 + n] = data[n][b];
}

// libjpeg-turbo's jccolor.c: 16-bit fixed point, rounded, centred chroma.
inline void convertPixel(const std::uint8_t *in, std::uint8_t &y, std::uint8_t &cb, std::uint8_t &cr)
{
    const std::int32_t B = in[0], G = in[1], R = in[2];
    y = std::uint8_t((19595 * R + 38470 * G + 7471 * B + 32768) >> 16);
    cb = std::uint8_t((-11059 * R - 21709 * G + 32768 * B + (128 << 16) + 32767) >> 16);
    cr = std::uint8_t((32768 * R - 27439 * G - 5329 * B + (128 << 16) + 32767) >> 16);
}

template <int PixelBytes>
[[gnu::always_inline]] inline void convertPixels(const std::uint8_t *__restrict in, int width, std::uint8_t *__restrict y,
                                                 std::uint8_t *__restrict cb, std::uint8_t *__restrict cr)
{
    for (int x = 0; x < width; ++x)
        convertPixel(in + PixelBytes * x, y[x], cb[x], cr[x]);
}

// Pixels of 3 bytes, or of 4 as decoders give them (the last one left alone).
__attribute__((target_clones("avx2", "default"))) void convertFast(const std::uint8_t *__restrict in, int width,
                                                                    std::uint8_t *__restrict y,
                                                                    std::uint8_t *__restrict cb,
                                                                    std::uint8_t *__restrict cr, int pixelBytes)
{
    if (pixelBytes == 4)
        convertPixels<4>(in, width, y, cb, cr);
    else
        convertPixels<3>(in, width, y, cb, cr);
}

__attribute__((target_clones("avx2", "default"))) void downsampleFast(const std::uint8_t *__restrict a,
                                                                       const std::uint8_t *__restrict b, int width,
                                                                       std::uint8_t *__restrict out)
{
    for (int x = 0; x < width; ++x)
        out[x] = std::uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 1 + (x & 1)) >> 2);
}

} // namespace

void ConvertRow(const std::uint8_t *bgr, int width, std::uint8_t *y, std::uint8_t *cb, std::uint8_t *cr, int pixelBytes)
{
    convertFast(bgr, width, y, cb, cr, pixelBytes);
}

void DownsampleRow(const std::uint8_t *top, const std::uint8_t *bottom, int width, std::uint8_t *out)
{
    downsampleFast(top, bottom, width, out);
}

void ForwardDct(const std::uint8_t *samples, std::size_t stride, int count, std::int32_t *out)
{
    int b = 0;
    for (; b + 8 <= count; b += 8)
        dct8(samples + b * 8, stride, out + b * 64);
    for (; b < count; ++b)
        referenceDct(samples + b * 8, stride, out + b * 64);
}

} // namespace JpegTransform
