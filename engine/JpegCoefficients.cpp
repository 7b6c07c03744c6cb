#include "JpegCoefficients.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <queue>
#include <cmath>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Zig-zag position -> natural (row-major) index.
constexpr int kNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The example tables of ITU-T T.81 Annex K, in natural order.
constexpr int kLuminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr int kChrominance[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                  24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

constexpr int kHistogramSize = 16384;

// libjpeg-turbo's quantisation of one coefficient position: the 8x-scaled
// DCT output divided by 8 * quant value, rounded, through a reciprocal.
struct Divisor
{
    std::uint32_t recip, corr, shift;

    std::uint32_t magnitude(std::uint32_t t) const { return ((t + corr) * recip) >> shift; }
};

Divisor divisorFor(int quantValue)
{
    const std::uint32_t divisor = std::uint32_t(quantValue) << 3;
    const int b = 31 - std::countl_zero(divisor);
    int r = 16 + b;
    std::uint32_t fq = std::uint32_t((std::uint64_t(1) << r) / divisor);
    const std::uint32_t fr = std::uint32_t((std::uint64_t(1) << r) % divisor);
    std::uint32_t c = divisor / 2;
    if (fr == 0) {
        fq >>= 1;
        --r;
    } else if (fr <= divisor / 2) {
        ++c;
    } else {
        ++fq;
    }
    return {fq & 0xFFFF, c, std::uint32_t(r)};
}

// The quant tables jpeg_set_quality(q, force_baseline) gives, per table,
// as divisors in zig-zag order.
std::array<std::array<Divisor, 64>, 2> divisorsFor(int quality)
{
    quality = std::clamp(quality, 1, 100);
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::array<std::array<Divisor, 64>, 2> out {};
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 64; ++k) {
            const int base = (t == 0 ? kLuminance : kChrominance)[kNatural[k]];
            const int value = std::clamp((base * scale + 50) / 100, 1, 255);
            out[t][k] = divisorFor(value);
        }
    return out;
}

int nbits(std::uint32_t v) { return v ? 32 - std::countl_zero(v) : 0; }

// libjpeg-turbo's jpeg_fdct_islow: output scaled up by 8.
void forwardDct(int *data)
{
    constexpr int CONST_BITS = 13, PASS1_BITS = 2;
    constexpr long F_0_298 = 2446, F_0_390 = 3196, F_0_541 = 4433, F_0_765 = 6270, F_0_899 = 7373,
                   F_1_175 = 9633, F_1_501 = 12299, F_1_847 = 15137, F_1_961 = 16069, F_2_053 = 16819,
                   F_2_562 = 20995, F_3_072 = 25172;
    const auto descale = [](long x, int n) { return int((x + (1L << (n - 1))) >> n); };
    for (int pass = 0; pass < 2; ++pass) {
        const int step = pass == 0 ? 1 : 8;     // along a row, then down a column
        const int stride = pass == 0 ? 8 : 1;
        const int shift = pass == 0 ? CONST_BITS - PASS1_BITS : CONST_BITS + PASS1_BITS;
        for (int i = 0; i < 8; ++i) {
            int *p = data + i * stride;
            const long tmp0 = p[0] + p[7 * step], tmp7 = p[0] - p[7 * step];
            const long tmp1 = p[step] + p[6 * step], tmp6 = p[step] - p[6 * step];
            const long tmp2 = p[2 * step] + p[5 * step], tmp5 = p[2 * step] - p[5 * step];
            const long tmp3 = p[3 * step] + p[4 * step], tmp4 = p[3 * step] - p[4 * step];
            const long tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
            const long tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
            if (pass == 0) {
                p[0] = int((tmp10 + tmp11) << PASS1_BITS);
                p[4 * step] = int((tmp10 - tmp11) << PASS1_BITS);
            } else {
                p[0] = descale(tmp10 + tmp11, PASS1_BITS);
                p[4 * step] = descale(tmp10 - tmp11, PASS1_BITS);
            }
            long z1 = (tmp12 + tmp13) * F_0_541;
            p[2 * step] = descale(z1 + tmp13 * F_0_765, shift);
            p[6 * step] = descale(z1 + tmp12 * -F_1_847, shift);
            z1 = tmp4 + tmp7;
            long z2 = tmp5 + tmp6, z3 = tmp4 + tmp6, z4 = tmp5 + tmp7;
            const long z5 = (z3 + z4) * F_1_175;
            const long t4 = tmp4 * F_0_298, t5 = tmp5 * F_2_053, t6 = tmp6 * F_3_072, t7 = tmp7 * F_1_501;
            z1 *= -F_0_899;
            z2 *= -F_2_562;
            z3 = z3 * -F_1_961 + z5;
            z4 = z4 * -F_0_390 + z5;
            p[7 * step] = descale(t4 + z1 + z3, shift);
            p[5 * step] = descale(t5 + z2 + z4, shift);
            p[3 * step] = descale(t6 + z2 + z3, shift);
            p[step] = descale(t7 + z1 + z4, shift);
        }
    }
}

void parallel(int threads, int count, const std::function<void(int, int, int)> &work)
{
    threads = std::max(1, std::min(threads, count));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work, t, count * t / threads, count * (t + 1) / threads);
    work(0, 0, count / threads);
    for (std::thread &th : pool)
        th.join();
}

// Total bits of an optimal prefix code for these symbol counts, and the
// number of symbols used. JPEG codes are at least 1 bit long.
std::uint64_t huffmanBits(const std::uint32_t *freq, int n, int &used)
{
    std::priority_queue<std::uint64_t, std::vector<std::uint64_t>, std::greater<>> heap;
    std::uint64_t total = 0;
    for (int i = 0; i < n; ++i)
        if (freq[i]) {
            heap.push(freq[i]);
            total += freq[i];
        }
    used = int(heap.size());
    if (heap.size() == 1)
        return total;
    std::uint64_t bits = 0;
    while (heap.size() > 1) {
        const std::uint64_t a = heap.top();
        heap.pop();
        const std::uint64_t b = heap.top();
        heap.pop();
        bits += a + b;
        heap.push(a + b);
    }
    return bits;
}

// One quant table as divisors, with the smallest magnitude that does not
// quantise to zero at each position.
struct alignas(16) Table
{
    std::int16_t nonzeroFrom[64];
    std::array<Divisor, 64> div;
};

Table tableFor(const std::array<Divisor, 64> &div)
{
    Table t {};
    t.div = div;
    for (int k = 0; k < 64; ++k) {
        std::uint32_t x = 0;
        while (x < 32767 && div[std::size_t(k)].magnitude(x) == 0)
            ++x;
        t.nonzeroFrom[k] = std::int16_t(x);
    }
    return t;
}

// Bit k set when the coefficient at zig-zag position k quantises to nonzero.
std::uint64_t nonzeroMask(const std::int16_t *b, const Table &t)
{
#if defined(__SSE2__)
    std::uint64_t mask = 0;
    const __m128i zero = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 16) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i + 8));
        const __m128i a0 = _mm_max_epi16(x0, _mm_sub_epi16(zero, x0));
        const __m128i a1 = _mm_max_epi16(x1, _mm_sub_epi16(zero, x1));
        const __m128i t0 = _mm_load_si128(reinterpret_cast<const __m128i *>(t.nonzeroFrom + i));
        const __m128i t1 = _mm_load_si128(reinterpret_cast<const __m128i *>(t.nonzeroFrom + i + 8));
        // |x| >= from  <=>  !(from > |x|)
        const __m128i below = _mm_packs_epi16(_mm_cmpgt_epi16(t0, a0), _mm_cmpgt_epi16(t1, a1));
        mask |= std::uint64_t(~_mm_movemask_epi8(below) & 0xFFFF) << i;
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (int k = 0; k < 64; ++k)
        if (std::abs(int(b[k])) >= t.nonzeroFrom[k])
            mask |= std::uint64_t(1) << k;
    return mask;
#endif
}

struct Stats
{
    std::uint32_t dc[2][16] {};
    std::uint32_t ac[2][256] {};
    std::uint64_t extra = 0;
};

} // namespace

struct JpegCoefficients::Impl
{
    int width = 0, height = 0;
    int mcuCols = 0, mcuRows = 0;
    // Blocks per component: 0 = Y (2x2 per MCU), 1 = Cb, 2 = Cr.
    int blockCols[3] {}, blockRows[3] {};
    std::vector<std::int16_t> coef[3];     // raster order of blocks, zig-zag within
    // cumulative[t][k][v]: coefficients of table t at position k with |x| >= v.
    std::vector<std::uint32_t> cumulative;
    std::uint64_t blocks = 0;
    int threads = 2;

    const std::int16_t *block(int c, int row, int col) const
    {
        return coef[c].data() + (std::size_t(row) * blockCols[c] + col) * 64;
    }
    std::uint32_t *cumulativeAt(int t, int k) { return cumulative.data() + (std::size_t(t) * 64 + k) * kHistogramSize; }
    const std::uint32_t *cumulativeAt(int t, int k) const
    {
        return cumulative.data() + (std::size_t(t) * 64 + k) * kHistogramSize;
    }

    void precompute(const cDIBSection &image, int firstRow, int endRow, std::vector<std::uint32_t> &histogram);
    void count(Stats &s, int c, int row, int col, const Table &table, int &lastDc) const;
    void countRange(Stats &s, int c, int firstMcuRow, int endMcuRow, const Table &table) const;
    int quantisedDc(int c, int row, int col, const Divisor &div) const
    {
        const int x = block(c, row, col)[0];
        const int m = int(div.magnitude(std::uint32_t(std::abs(x))));
        return x < 0 ? -m : m;
    }
};

void JpegCoefficients::Impl::precompute(const cDIBSection &image, int firstRow, int endRow,
                                         std::vector<std::uint32_t> &histogram)
{
    const int paddedWidth = mcuCols * 16;
    const int chromaHeight = (height + 1) / 2;
    const std::size_t stride = std::size_t(image.BytesPerScanLine());
    const std::uint8_t *bits = image.DIBSectionBitsPtr();
    std::vector<std::uint8_t> plane[3];
    for (auto &p : plane)
        p.resize(std::size_t(16) * paddedWidth);
    std::vector<std::uint8_t> chroma[2];
    for (auto &p : chroma)
        p.resize(std::size_t(8) * mcuCols * 8);
    int data[64];

    const auto transform = [&](int c, const std::uint8_t *samples, std::size_t rowStride, int row, int col) {
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                data[y * 8 + x] = int(samples[y * rowStride + x]) - 128;
        forwardDct(data);
        std::int16_t *out = coef[c].data() + (std::size_t(row) * blockCols[c] + col) * 64;
        const int t = c == 0 ? 0 : 1;
        for (int k = 0; k < 64; ++k) {
            out[k] = std::int16_t(data[kNatural[k]]);
            const int m = std::min(std::abs(data[kNatural[k]]), kHistogramSize - 1);
            ++histogram[(std::size_t(t) * 64 + k) * kHistogramSize + m];
        }
    };

    for (int mr = firstRow; mr < endRow; ++mr) {
        // Colour conversion of the 16 picture rows of this MCU row; rows and
        // columns past the picture repeat its last row and column.
        for (int r = 0; r < 16; ++r) {
            const int sy = std::min(mr * 16 + r, height - 1);
            const std::uint8_t *in = bits + std::size_t(height - 1 - sy) * stride;
            std::uint8_t *Y = plane[0].data() + std::size_t(r) * paddedWidth;
            std::uint8_t *Cb = plane[1].data() + std::size_t(r) * paddedWidth;
            std::uint8_t *Cr = plane[2].data() + std::size_t(r) * paddedWidth;
            for (int x = 0; x < width; ++x, in += 3) {
                const int B = in[0], G = in[1], R = in[2];
                Y[x] = std::uint8_t((19595 * R + 38470 * G + 7471 * B + 32768) >> 16);
                Cb[x] = std::uint8_t((-11059 * R - 21709 * G + 32768 * B + (128 << 16) + 32767) >> 16);
                Cr[x] = std::uint8_t((32768 * R - 27439 * G - 5329 * B + (128 << 16) + 32767) >> 16);
            }
            for (int x = width; x < paddedWidth; ++x) {
                Y[x] = Y[width - 1];
                Cb[x] = Cb[width - 1];
                Cr[x] = Cr[width - 1];
            }
        }
        for (int br = 0; br < 2; ++br) {
            const int row = mr * 2 + br;
            if (row >= blockRows[0])
                continue;
            for (int col = 0; col < blockCols[0]; ++col)
                transform(0, plane[0].data() + std::size_t(br * 8) * paddedWidth + col * 8, paddedWidth, row, col);
        }
        // 2x2 down-sampling with libjpeg's alternating rounding bias; chroma
        // rows past the picture repeat its last chroma row.
        for (int c = 0; c < 2; ++c)
            for (int r = 0; r < 8; ++r) {
                const int cr = std::min(mr * 8 + r, chromaHeight - 1);
                const int top = 2 * cr - mr * 16;
                const int bottom = std::min(2 * cr + 1, height - 1) - mr * 16;
                const std::uint8_t *a = plane[c + 1].data() + std::size_t(top) * paddedWidth;
                const std::uint8_t *b = plane[c + 1].data() + std::size_t(bottom) * paddedWidth;
                std::uint8_t *out = chroma[c].data() + std::size_t(r) * mcuCols * 8;
                for (int x = 0; x < mcuCols * 8; ++x)
                    out[x] = std::uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 1 + (x & 1)) >> 2);
            }
        for (int c = 0; c < 2; ++c)
            for (int col = 0; col < mcuCols; ++col)
                transform(c + 1, chroma[c].data() + col * 8, std::size_t(mcuCols) * 8, mr, col);
    }
}

JpegCoefficients::JpegCoefficients(const cDIBSection &image, int threads) : d(std::make_unique<Impl>())
{
    d->threads = std::max(1, threads);
    d->width = image.Width();
    d->height = image.Height();
    d->mcuCols = (d->width + 15) / 16;
    d->mcuRows = (d->height + 15) / 16;
    d->blockCols[0] = (d->width + 7) / 8;
    d->blockRows[0] = (d->height + 7) / 8;
    for (int c = 1; c < 3; ++c) {
        d->blockCols[c] = d->mcuCols;
        d->blockRows[c] = d->mcuRows;
    }
    for (int c = 0; c < 3; ++c) {
        d->coef[c].resize(std::size_t(d->blockCols[c]) * d->blockRows[c] * 64);
        d->blocks += std::uint64_t(d->blockCols[c]) * d->blockRows[c];
    }

    const std::size_t histogramSize = std::size_t(2) * 64 * kHistogramSize;
    std::vector<std::vector<std::uint32_t>> histograms(std::size_t(std::max(1, std::min(d->threads, d->mcuRows))));
    parallel(d->threads, d->mcuRows, [&](int t, int first, int end) {
        histograms[std::size_t(t)].assign(histogramSize, 0);
        d->precompute(image, first, end, histograms[std::size_t(t)]);
    });
    d->cumulative = std::move(histograms[0]);
    for (std::size_t t = 1; t < histograms.size(); ++t)
        for (std::size_t i = 0; i < histogramSize; ++i)
            d->cumulative[i] += histograms[t][i];
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 64; ++k) {
            std::uint32_t *h = d->cumulativeAt(t, k);
            for (int v = kHistogramSize - 2; v >= 0; --v)
                h[v] += h[v + 1];
        }
}

JpegCoefficients::~JpegCoefficients() = default;

std::uint64_t JpegCoefficients::QuickBound(int quality) const
{
    const auto divisors = divisorsFor(quality);
    // Coefficients of table t at position k whose quantised magnitude
    // reaches v: |x| >= threshold(v).
    const auto atLeastAt = [&](int t, int k, std::uint32_t v) -> std::uint64_t {
        const Divisor &div = divisors[std::size_t(t)][std::size_t(k)];
        const std::uint32_t *h = d->cumulativeAt(t, k);
        std::int64_t x = std::int64_t(((std::uint64_t(v) << div.shift) + div.recip - 1) / div.recip) - div.corr;
        x = std::max<std::int64_t>(x, 0);
        while (x > 0 && div.magnitude(std::uint32_t(x - 1)) >= v)
            --x;
        while (x < kHistogramSize && div.magnitude(std::uint32_t(x)) < v)
            ++x;
        return x < kHistogramSize ? h[x] : 0;
    };
    // Every block has a DC symbol of at least one bit; every nonzero AC
    // coefficient one symbol of at least one bit plus its magnitude bits.
    std::uint64_t bits = d->blocks;
    double symbolBits = 0;
    for (int t = 0; t < 2; ++t) {
        // Nonzero AC coefficients of this table by magnitude category.
        std::uint64_t category[16] {};
        for (int k = 1; k < 64; ++k) {
            const auto atLeast = [&](std::uint32_t v) { return atLeastAt(t, k, v); };
            std::uint64_t previous = atLeast(1);
            for (int j = 0; j < 15 && previous; ++j) {
                bits += previous;   // one magnitude bit for each coefficient reaching 2^j
                const std::uint64_t next = atLeast(std::uint32_t(1) << (j + 1));
                category[j + 1] += previous - next;
                previous = next;
            }
        }
        // A block whose last coefficient quantises to zero ends with an
        // end-of-block symbol.
        const std::uint64_t tableBlocks =
            t == 0 ? std::uint64_t(d->blockCols[0]) * d->blockRows[0]
                   : std::uint64_t(d->blockCols[1]) * d->blockRows[1] + std::uint64_t(d->blockCols[2]) * d->blockRows[2];
        category[0] = tableBlocks - std::min(tableBlocks, atLeastAt(t, 63, 1));
        // Each symbol of a prefix code takes at least one bit, and together
        // at least their entropy; the category is a function of the
        // (run, category) symbol, so the categories' entropy is less still.
        std::uint64_t symbols = 0;
        for (std::uint64_t n : category)
            symbols += n;
        double entropy = 0;
        for (std::uint64_t n : category)
            if (n)
                entropy += double(n) * std::log2(double(symbols) / double(n));
        symbolBits += std::max(double(symbols), entropy);
    }
    // Rounded down, with room for the floating-point error.
    bits += std::uint64_t(std::max(0.0, symbolBits * (1 - 1e-9) - 1));
    return 277 + bits / 8;
}

void JpegCoefficients::Impl::count(Stats &s, int c, int row, int col, const Table &table, int &lastDc) const
{
    const std::array<Divisor, 64> &div = table.div;
    const int t = c == 0 ? 0 : 1;
    if (row >= blockRows[c] || col >= blockCols[c]) {
        // A dummy block past the picture repeats the last DC and has no AC.
        ++s.dc[t][0];
        ++s.ac[t][0];
        return;
    }
    const std::int16_t *b = block(c, row, col);
    const int x = b[0];
    const int m = int(div[0].magnitude(std::uint32_t(std::abs(x))));
    const int dcValue = x < 0 ? -m : m;
    const int diffBits = nbits(std::uint32_t(std::abs(dcValue - lastDc)));
    lastDc = dcValue;
    ++s.dc[t][diffBits];
    s.extra += std::uint64_t(diffBits);
    std::uint64_t mask = nonzeroMask(b, table) & ~std::uint64_t(1);
    int previous = 0;
    while (mask) {
        const int k = std::countr_zero(mask);
        mask &= mask - 1;
        int run = k - previous - 1;
        previous = k;
        while (run > 15) {
            ++s.ac[t][0xF0];
            run -= 16;
        }
        const int n = nbits(div[std::size_t(k)].magnitude(std::uint32_t(std::abs(int(b[k])))));
        ++s.ac[t][(run << 4) + n];
        s.extra += std::uint64_t(n);
    }
    if (previous < 63)
        ++s.ac[t][0];
}

void JpegCoefficients::Impl::countRange(Stats &s, int c, int firstMcuRow, int endMcuRow, const Table &table) const
{
    const std::array<Divisor, 64> &div = table.div;
    if (firstMcuRow >= endMcuRow)
        return;
    int lastDc = 0;
    if (firstMcuRow > 0) {
        // The DC predictor carries over from the block coded just before.
        if (c == 0) {
            const int row = std::min(firstMcuRow * 2 - 1, blockRows[0] - 1);
            lastDc = quantisedDc(0, row, blockCols[0] - 1, div[0]);
        } else {
            lastDc = quantisedDc(c, firstMcuRow - 1, blockCols[c] - 1, div[0]);
        }
    }
    for (int mr = firstMcuRow; mr < endMcuRow; ++mr)
        for (int mc = 0; mc < mcuCols; ++mc) {
            if (c == 0) {
                for (int i = 0; i < 4; ++i)
                    count(s, 0, mr * 2 + i / 2, mc * 2 + i % 2, table, lastDc);
            } else {
                count(s, c, mr, mc, table, lastDc);
            }
        }
}

std::uint64_t JpegCoefficients::HuffmanBound(int quality) const
{
    const auto divisors = divisorsFor(quality);
    const Table luma = tableFor(divisors[0]), chroma = tableFor(divisors[1]);
    // Luma is two thirds of the work: one thread takes its first three
    // quarters, the other the rest and both chroma planes.
    const int split = d->mcuRows * 3 / 4;
    Stats stats[2];
    const auto work = [&](int part) {
        if (part == 0) {
            d->countRange(stats[0], 0, 0, split, luma);
        } else {
            d->countRange(stats[1], 0, split, d->mcuRows, luma);
            d->countRange(stats[1], 1, 0, d->mcuRows, chroma);
            d->countRange(stats[1], 2, 0, d->mcuRows, chroma);
        }
    };
    if (d->threads > 1) {
        std::thread other(work, 1);
        work(0);
        other.join();
    } else {
        work(0);
        work(1);
    }
    Stats &s = stats[0];
    for (int t = 0; t < 2; ++t) {
        for (int i = 0; i < 16; ++i)
            s.dc[t][i] += stats[1].dc[t][i];
        for (int i = 0; i < 256; ++i)
            s.ac[t][i] += stats[1].ac[t][i];
    }
    std::uint64_t bits = s.extra + stats[1].extra;
    std::uint64_t header = 277;
    for (int t = 0; t < 2; ++t) {
        int used = 0;
        bits += huffmanBits(s.dc[t], 16, used);
        header += std::uint64_t(used);
        bits += huffmanBits(s.ac[t], 256, used);
        header += std::uint64_t(used);
    }
    return header + (bits + 7) / 8;
}
