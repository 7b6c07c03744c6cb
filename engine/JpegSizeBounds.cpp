#include "JpegSizeBounds.h"
#include "HugeArray.h"

#include "JpegTransform.h"

#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <atomic>
#include <array>
#include <bit>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <exception>
#include <functional>
#include <mutex>
#include <numeric>
#include <queue>
#include <vector>


#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using JpegTransform::kNatural;

// The example tables of ITU-T T.81 Annex K, in natural order.
constexpr int kLuminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr int kChrominance[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                  24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                  99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Coefficient magnitudes reach 8 x 1024 for 8-bit samples; below kDense
// they are counted in a dense table, the rare larger ones listed.
constexpr int kHistogramSize = 16384;
constexpr int kDense = 2048;

// Magnitudes of the AC coefficients by table and position (DC has no use
// here): dense counts, zeroed in 1 MiB rather than 8, and a list of the
// large ones, each (t * 64 + k) << 16 | magnitude.
struct Histogram
{
    std::vector<std::uint32_t> dense = std::vector<std::uint32_t>(std::size_t(2) * kDense * 64);
    std::vector<std::uint32_t> large;

    void add(int t, int k, std::uint32_t magnitude)
    {
        if (magnitude < kDense)
            ++dense[(std::size_t(t) * kDense + magnitude) * 64 + std::size_t(k)];
        else
            large.push_back(std::uint32_t(t * 64 + k) << 16 | magnitude);
    }
};

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

// Runs work(0) ... work(count - 1) on the calling thread and on up to the
// pool's thread count less one helpers from the pool, and waits for all of
// them: the caller works instead of waiting, and each call wakes as few
// threads as it can (a wake-up costs as much as a small stage's work). The
// first exception any of them throws is rethrown here, after all have
// ended, so that it reaches the caller instead of ending the process.
void parallel(QThreadPool &pool, int count, const std::function<void(int)> &work)
{
    std::atomic<int> next {0};
    std::atomic<bool> failed {false};
    std::exception_ptr failure;
    std::mutex lock;
    const auto drain = [&] {
        for (int i = next++; i < count && !failed; i = next++) {
            try {
                work(i);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(lock);
                if (!failure)
                    failure = std::current_exception();
                failed = true;
            }
        }
    };
    std::vector<QFuture<void>> helpers;
    const int helping = std::min(count, pool.maxThreadCount()) - 1;
    helpers.reserve(std::size_t(std::max(helping, 0)));   // a started helper's future is never lost
    for (int h = 0; h < helping; ++h)
        helpers.push_back(QtConcurrent::run(&pool, drain));
    drain();
    for (QFuture<void> &helper : helpers)
        helper.waitForFinished();
    if (failure)
        std::rethrow_exception(failure);
}

// Whatever prefix code the file gets, its symbols take at least their
// Shannon entropy and one bit each. Of the symbols not counted yet only how
// many there are of each kind (`more`, by the index of any symbol of that
// kind) is known: piled onto the kind's most frequent counted symbol they
// give the least entropy, as x log x grows faster the larger x is.
struct Uncounted
{
    int first, step, count;   // the symbols of one kind: first + i * step
    std::uint64_t more;
};

double leastSymbolBits(const std::uint32_t *freq, int n, const std::vector<Uncounted> &kinds)
{
    std::vector<double> all(freq, freq + n);
    for (const Uncounted &kind : kinds) {
        int top = kind.first;
        for (int i = 1; i < kind.count; ++i)
            if (freq[kind.first + i * kind.step] > freq[top])
                top = kind.first + i * kind.step;
        all[std::size_t(top)] += double(kind.more);
    }
    double total = 0, sum = 0;
    for (const double x : all)
        if (x > 0) {
            total += x;
            sum += x * std::log2(x);
        }
    return total > 0 ? std::max(total, total * std::log2(total) - sum) : 0;
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
    // Of the picture's own blocks (not the dummy ones): how many, their
    // nonzero AC coefficients and those coefficients' magnitude bits.
    std::uint64_t blocks = 0, acNonzero = 0, acBits = 0;

    void add(const Stats &o)
    {
        blocks += o.blocks;
        acNonzero += o.acNonzero;
        acBits += o.acBits;
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < 16; ++i)
                dc[t][i] += o.dc[t][i];
            for (int i = 0; i < 256; ++i)
                ac[t][i] += o.ac[t][i];
        }
        extra += o.extra;
    }
};

// What the encoder writes around the entropy-coded data, without the
// Huffman tables' symbol lists (one byte per used symbol, added where
// counted): SOI (2), JFIF APP0 (18), two DQT segments (2 x 69), SOF0 with
// three components (19), a DHT segment header per table (4 x 21: marker,
// length, class and id, 16 code-length counts), SOS (14) and EOI (2).
constexpr std::uint64_t kHeaderBytes = 2 + 18 + 2 * 69 + 19 + 4 * 21 + 14 + 2;
static_assert(kHeaderBytes == 277);

// Rows of MCUs counted together by HuffmanBound, and how many stages the
// bands are spread over: after each stage the partial bound is checked.
constexpr int kBandRows = 4;
constexpr int kStages = 8;

} // namespace

struct JpegSizeBounds::Impl
{
    int width = 0, height = 0;
    int mcuCols = 0, mcuRows = 0;
    // Blocks per component: 0 = Y (2x2 per MCU), 1 = Cb, 2 = Cr.
    int blockCols[3] {}, blockRows[3] {};
    // Raster order of blocks, zig-zag within; left uninitialised, as every
    // value is written once.
    HugeArray<std::int16_t> storage;
    std::int16_t *coef[3] {};
    // cumulative[t][v][k]: coefficients of table t at position k with
    // |x| >= v, for v < kDense. Positions innermost, so that counting the
    // small magnitudes, nearly all of them, stays within a few cache lines.
    // Past it, the sorted list of large magnitudes, each table and
    // position's run starting at largeStart[t * 64 + k].
    std::vector<std::uint32_t> cumulative;
    std::vector<std::uint32_t> large;
    std::array<std::size_t, 129> largeStart {};
    std::uint64_t blocks = 0;
    mutable QThreadPool pool;
    // The statistics of the last HuffmanBound that counted every block.
    mutable Stats lastCounted;
    mutable int lastCountedQuality = 0;

    const std::int16_t *block(int c, int row, int col) const
    {
        return coef[c] + (std::size_t(row) * blockCols[c] + col) * 64;
    }
    std::uint32_t cumulativeAt(int t, int k, int v) const
    {
        if (v < kDense)
            return cumulative[(std::size_t(t) * kDense + std::size_t(v)) * 64 + std::size_t(k)];
        const auto key = std::uint32_t(t * 64 + k) << 16;
        const auto end = large.begin() + std::ptrdiff_t(largeStart[std::size_t(t * 64 + k) + 1]);
        return std::uint32_t(end - std::lower_bound(large.begin() + std::ptrdiff_t(largeStart[std::size_t(t * 64 + k)]),
                                                    end, key | std::uint32_t(v)));
    }

    void setUp(QSize size, int threads);
    // The histograms of the parts into the cumulative counts.
    void accumulate(std::vector<Histogram> &histograms);
    void precompute(const PixelRows &pixels, int firstRow, int endRow, Histogram &histogram);
    void count(Stats &s, int c, int row, int col, const Table &table, int &lastDc) const;
    void countRange(Stats &s, int c, int firstMcuRow, int endMcuRow, const Table &table) const;
    int quantisedDc(int c, int row, int col, const Divisor &div) const
    {
        const int x = block(c, row, col)[0];
        const int m = int(div.magnitude(std::uint32_t(std::abs(x))));
        return x < 0 ? -m : m;
    }
    // Coefficients of table t at position k whose quantised magnitude
    // reaches v: |x| >= threshold(v).
    std::uint64_t atLeast(const Divisor &div, int t, int k, std::uint32_t v) const;
    // One bit per block, and per nonzero AC coefficient its magnitude bits;
    // the nonzero AC coefficients of each table by magnitude category.
    std::uint64_t magnitudeBits(const std::array<std::array<Divisor, 64>, 2> &divisors,
                                std::uint64_t category[2][16]) const;
};

void JpegSizeBounds::Impl::precompute(const PixelRows &pixels, int firstRow, int endRow, Histogram &histogram)
{
    const int paddedWidth = mcuCols * 16;
    const int chromaHeight = (height + 1) / 2;
    std::vector<std::uint8_t> plane[3];
    for (auto &p : plane)
        p.resize(std::size_t(16) * paddedWidth);
    std::vector<std::uint8_t> chroma(std::size_t(8) * mcuCols * 8);
    std::vector<std::int32_t> dct(std::size_t(blockCols[0]) * 64);

    // Zig-zag order and the magnitude histograms of one row of blocks.
    const auto store = [&](int c, int row, int count) {
        std::int16_t *out = coef[c] + std::size_t(row) * blockCols[c] * 64;
        const int t = c == 0 ? 0 : 1;
        for (int b = 0; b < count; ++b, out += 64) {
            const std::int32_t *in = dct.data() + std::size_t(b) * 64;
            out[0] = std::int16_t(in[0]);
            for (int k = 1; k < 64; ++k) {
                const int x = in[kNatural[k]];
                out[k] = std::int16_t(x);
                histogram.add(t, k, std::uint32_t(std::abs(x)));
            }
        }
    };

    for (int mr = firstRow; mr < endRow; ++mr) {
        // Colour conversion of the 16 picture rows of this MCU row; rows and
        // columns past the picture repeat its last row and column.
        for (int r = 0; r < 16; ++r) {
            const int sy = std::min(mr * 16 + r, height - 1);
            std::uint8_t *row[3];
            for (int c = 0; c < 3; ++c)
                row[c] = plane[c].data() + std::size_t(r) * paddedWidth;
            JpegTransform::ConvertRow(pixels.row(sy), width, row[0], row[1], row[2], pixels.pixelBytes);
            for (int c = 0; c < 3; ++c)
                std::fill(row[c] + width, row[c] + paddedWidth, row[c][width - 1]);
        }
        for (int br = 0; br < 2; ++br) {
            const int row = mr * 2 + br;
            if (row >= blockRows[0])
                continue;
            JpegTransform::ForwardDct(plane[0].data() + std::size_t(br * 8) * paddedWidth,
                                      std::size_t(paddedWidth), blockCols[0], dct.data());
            store(0, row, blockCols[0]);
        }
        // Chroma rows past the picture repeat its last chroma row.
        for (int c = 0; c < 2; ++c) {
            for (int r = 0; r < 8; ++r) {
                const int cr = std::min(mr * 8 + r, chromaHeight - 1);
                const int top = 2 * cr - mr * 16;
                const int bottom = std::min(2 * cr + 1, height - 1) - mr * 16;
                JpegTransform::DownsampleRow(plane[c + 1].data() + std::size_t(top) * paddedWidth,
                                             plane[c + 1].data() + std::size_t(bottom) * paddedWidth, mcuCols * 8,
                                             chroma.data() + std::size_t(r) * mcuCols * 8);
            }
            JpegTransform::ForwardDct(chroma.data(), std::size_t(mcuCols) * 8, mcuCols, dct.data());
            store(c + 1, mr, mcuCols);
        }
    }
}

void JpegSizeBounds::Impl::setUp(QSize size, int threads)
{
    pool.setMaxThreadCount(std::max(1, threads));
    width = size.width();
    height = size.height();
    mcuCols = (width + 15) / 16;
    mcuRows = (height + 15) / 16;
    blockCols[0] = (width + 7) / 8;
    blockRows[0] = (height + 7) / 8;
    for (int c = 1; c < 3; ++c) {
        blockCols[c] = mcuCols;
        blockRows[c] = mcuRows;
    }
    for (int c = 0; c < 3; ++c)
        blocks += std::uint64_t(blockCols[c]) * blockRows[c];
    storage = HugeArray<std::int16_t>(blocks * 64);
    coef[0] = storage.get();
    for (int c = 1; c < 3; ++c)
        coef[c] = coef[c - 1] + std::size_t(blockCols[c - 1]) * blockRows[c - 1] * 64;
}

void JpegSizeBounds::Impl::accumulate(std::vector<Histogram> &histograms)
{
    cumulative = std::move(histograms[0].dense);
    large = std::move(histograms[0].large);
    for (std::size_t h = 1; h < histograms.size(); ++h) {
        for (std::size_t i = 0; i < cumulative.size(); ++i)
            cumulative[i] += histograms[h].dense[i];
        large.insert(large.end(), histograms[h].large.begin(), histograms[h].large.end());
    }
    std::sort(large.begin(), large.end());
    for (std::size_t key = 0; key <= 128; ++key)
        largeStart[key] = std::size_t(std::lower_bound(large.begin(), large.end(), std::uint32_t(key) << 16) - large.begin());
    for (std::size_t t = 0; t < 2; ++t) {
        std::uint32_t *top = cumulative.data() + (t * kDense + kDense - 1) * 64;
        for (std::size_t k = 0; k < 64; ++k)
            top[k] += std::uint32_t(largeStart[t * 64 + k + 1] - largeStart[t * 64 + k]);
        for (std::size_t v = kDense - 1; v-- > 0;) {
            std::uint32_t *h = cumulative.data() + (t * kDense + v) * 64;
            for (int k = 0; k < 64; ++k)
                h[k] += h[k + 64];
        }
    }
}

JpegSizeBounds::JpegSizeBounds(const PixelRows &pixels, int threads) : d(std::make_unique<Impl>())
{
    if (pixels.isNull())
        throw std::invalid_argument("no pixels");
    d->setUp(QSize(pixels.width, pixels.height), threads);
    const int parts = std::max(1, std::min(std::max(1, threads), d->mcuRows));
    std::vector<Histogram> histograms(static_cast<std::size_t>(parts));
    parallel(d->pool, parts, [&](int t) {
        d->precompute(pixels, d->mcuRows * t / parts, d->mcuRows * (t + 1) / parts, histograms[std::size_t(t)]);
    });
    d->accumulate(histograms);
}

JpegSizeBounds::JpegSizeBounds(QSize size, const std::function<void(const Take &take)> &feed, int threads)
    : d(std::make_unique<Impl>())
{
    if (size.isEmpty())
        throw std::invalid_argument("no pixels");
    d->setUp(size, threads);
    // Whole MCU rows are gathered into one of two band buffers; while the
    // pool transforms one, the feed fills the other.
    constexpr int kBandMcuRows = 4;
    const int bandRows = 16 * kBandMcuRows;
    const std::size_t stride = std::size_t(d->width) * 4;
    struct Band
    {
        std::vector<std::uint8_t> pixels;
        Histogram histogram;
        QFuture<void> work;
        int first = 0, count = 0;
    };
    std::array<Band, 2> bands;
    for (Band &b : bands)
        b.pixels.resize(stride * bandRows);
    std::exception_ptr failure;
    std::mutex lock;
    int next = 0;   // the band being filled
    const auto finish = [&](Band &b) {
        if (b.work.isValid())
            b.work.waitForFinished();
        b.work = {};
    };
    const auto launch = [&](Band &b) {
        PixelRows rows;
        rows.top = b.pixels.data();
        rows.stride = std::ptrdiff_t(stride);
        rows.width = d->width;
        rows.height = b.count;
        rows.pixelBytes = 4;
        rows.first = b.first;
        const int firstMcu = b.first / 16;
        const int endMcu = b.first + b.count >= d->height ? d->mcuRows : (b.first + b.count) / 16;
        b.work = QtConcurrent::run(&d->pool, [&, rows, firstMcu, endMcu, h = &b.histogram] {
            try {
                d->precompute(rows, firstMcu, endMcu, *h);
            } catch (...) {
                const std::lock_guard<std::mutex> hold(lock);
                if (!failure)
                    failure = std::current_exception();
            }
        });
    };
    try {
        feed([&](const PixelRows &in) {
            for (int y = 0; y < in.height;) {
                Band &b = bands[std::size_t(next)];
                if (b.count == 0) {
                    finish(b);
                    b.first = in.first + y;
                }
                const int n = std::min(in.height - y, bandRows - b.count);
                for (int r = 0; r < n; ++r)
                    std::memcpy(b.pixels.data() + std::size_t(b.count + r) * stride, in.row(in.first + y + r), stride);
                b.count += n;
                y += n;
                if (b.count == bandRows || b.first + b.count >= d->height) {
                    launch(b);
                    b.count = 0;
                    next = 1 - next;
                }
            }
        });
    } catch (...) {
        for (Band &b : bands)
            finish(b);
        throw;
    }
    for (Band &b : bands)
        finish(b);
    if (failure)
        std::rethrow_exception(failure);
    std::vector<Histogram> histograms;
    for (Band &b : bands)
        histograms.push_back(std::move(b.histogram));
    d->accumulate(histograms);
}

JpegSizeBounds::~JpegSizeBounds() = default;

int JpegSizeBounds::Width() const { return d->width; }
int JpegSizeBounds::Height() const { return d->height; }
int JpegSizeBounds::BlockColumns(int c) const { return d->blockCols[c]; }
int JpegSizeBounds::BlockRows(int c) const { return d->blockRows[c]; }

namespace {

// The divisors' parts in separate arrays, so that the loop below vectorises.
struct Quantiser
{
    std::uint32_t recip[64], corr[64], shift[64];
};

__attribute__((target_clones("avx2", "default"))) void quantise(const std::int16_t *in, int blocks,
                                                                 const Quantiser &q, std::int16_t *out)
{
    for (int b = 0; b < blocks; ++b, in += 64, out += 64) {
        std::int16_t zigzag[64];
        for (int k = 0; k < 64; ++k) {
            const std::int32_t x = in[k];
            const std::uint32_t m = ((std::uint32_t(x < 0 ? -x : x) + q.corr[k]) * q.recip[k]) >> q.shift[k];
            zigzag[k] = std::int16_t(x < 0 ? -std::int32_t(m) : std::int32_t(m));
        }
        for (int k = 0; k < 64; ++k)
            out[kNatural[k]] = zigzag[k];
    }
}

} // namespace

void JpegSizeBounds::QuantisedRow(int quality, int c, int row, std::int16_t *out) const
{
    const std::array<Divisor, 64> div = divisorsFor(quality)[c == 0 ? 0 : 1];
    Quantiser q;
    for (std::size_t k = 0; k < 64; ++k) {
        q.recip[k] = div[k].recip;
        q.corr[k] = div[k].corr;
        q.shift[k] = div[k].shift;
    }
    quantise(d->block(c, row, 0), d->blockCols[c], q, out);
}

std::uint64_t JpegSizeBounds::Impl::atLeast(const Divisor &div, int t, int k, std::uint32_t v) const
{
    std::int64_t x = std::int64_t(((std::uint64_t(v) << div.shift) + div.recip - 1) / div.recip) - div.corr;
    x = std::max<std::int64_t>(x, 0);
    while (x > 0 && div.magnitude(std::uint32_t(x - 1)) >= v)
        --x;
    while (x < kHistogramSize && div.magnitude(std::uint32_t(x)) < v)
        ++x;
    return x < kHistogramSize ? cumulativeAt(t, k, int(x)) : 0;
}

std::uint64_t JpegSizeBounds::Impl::magnitudeBits(const std::array<std::array<Divisor, 64>, 2> &divisors,
                                                  std::uint64_t category[2][16]) const
{
    std::uint64_t bits = blocks;
    for (int t = 0; t < 2; ++t)
        for (int k = 1; k < 64; ++k) {
            const Divisor &div = divisors[std::size_t(t)][std::size_t(k)];
            std::uint64_t previous = atLeast(div, t, k, 1);
            for (int j = 0; j < 15 && previous; ++j) {
                bits += previous;   // one magnitude bit for each coefficient reaching 2^j
                const std::uint64_t next = atLeast(div, t, k, std::uint32_t(1) << (j + 1));
                category[t][j + 1] += previous - next;
                previous = next;
            }
        }
    return bits;
}

std::uint64_t JpegSizeBounds::MagnitudeBound(int quality) const
{
    std::uint64_t category[2][16] {};
    std::uint64_t bits = d->magnitudeBits(divisorsFor(quality), category);
    for (int t = 0; t < 2; ++t)
        for (int j = 1; j < 16; ++j)
            bits += category[t][j];   // each nonzero AC coefficient's symbol
    return kHeaderBytes + bits / 8;
}

std::uint64_t JpegSizeBounds::QuickBound(int quality) const
{
    const auto divisors = divisorsFor(quality);
    // Every block has a DC symbol of at least one bit; every nonzero AC
    // coefficient one symbol of at least one bit plus its magnitude bits.
    std::uint64_t category[2][16] {};
    std::uint64_t bits = d->magnitudeBits(divisors, category);
    double symbolBits = 0;
    for (int t = 0; t < 2; ++t) {
        // A block whose last coefficient quantises to zero ends with an
        // end-of-block symbol.
        const std::uint64_t tableBlocks =
            t == 0 ? std::uint64_t(d->blockCols[0]) * d->blockRows[0]
                   : std::uint64_t(d->blockCols[1]) * d->blockRows[1] + std::uint64_t(d->blockCols[2]) * d->blockRows[2];
        category[t][0] = tableBlocks - std::min(tableBlocks, d->atLeast(divisors[std::size_t(t)][63], t, 63, 1));
        // Each symbol of a prefix code takes at least one bit, and together
        // at least their entropy; the category is a function of the
        // (run, category) symbol, so the categories' entropy is less still.
        std::uint64_t symbols = 0;
        for (std::uint64_t n : category[t])
            symbols += n;
        double entropy = 0;
        for (std::uint64_t n : category[t])
            if (n)
                entropy += double(n) * std::log2(double(symbols) / double(n));
        symbolBits += std::max(double(symbols), entropy);
    }
    // Rounded down, with room for the floating-point error.
    bits += std::uint64_t(std::max(0.0, symbolBits * (1 - 1e-9) - 1));
    return kHeaderBytes + bits / 8;
}

void JpegSizeBounds::Impl::count(Stats &s, int c, int row, int col, const Table &table, int &lastDc) const
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
    ++s.blocks;
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
        ++s.acNonzero;
        s.acBits += std::uint64_t(n);
    }
    if (previous < 63)
        ++s.ac[t][0];
}

void JpegSizeBounds::Impl::countRange(Stats &s, int c, int firstMcuRow, int endMcuRow, const Table &table) const
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

std::uint64_t JpegSizeBounds::HuffmanBound(int quality, std::uint64_t stopAbove) const
{
    const auto divisors = divisorsFor(quality);
    const Table luma = tableFor(divisors[0]), chroma = tableFor(divisors[1]);
    // Bands of MCU rows; each counts its own symbols (with the DC predictor
    // of the block before it), so the counts of any set of bands are those
    // of a subset of the file's symbols, and their bound a lower bound of
    // what those bands write. Stage s takes bands s, s + kStages, ... so that every stage
    // sees the whole picture.
    const int bands = (d->mcuRows + kBandRows - 1) / kBandRows;
    // The blocks not counted yet add at least their AC magnitude bits and a
    // one-bit symbol per nonzero AC coefficient and per DC, all known from
    // the histograms for the whole picture (their magnitude bits at most
    // undercounted, for coefficients past the histograms' end).
    std::uint64_t category[2][16] {};
    const std::uint64_t acBits = d->magnitudeBits(divisors, category) - d->blocks;
    std::uint64_t acNonzero = 0;
    for (const auto &table : category)
        for (const std::uint64_t n : table)
            acNonzero += n;
    const std::uint64_t mcus = std::uint64_t(d->mcuCols) * d->mcuRows;
    Stats total;
    // The magnitude bits of the blocks counted and of those not yet counted.
    const auto knownMagnitudeBits = [&] { return total.extra + (acBits > total.acBits ? acBits - total.acBits : 0); };
    // The same with the uncounted symbols at their least entropy.
    const auto entropyBound = [&] {
        double bits = 0;
        for (int t = 0; t < 2; ++t) {
            std::uint64_t dcSymbols = 0;
            for (const std::uint32_t n : total.dc[t])
                dcSymbols += n;
            bits += leastSymbolBits(total.dc[t], 16, {{0, 1, 16, mcus * (t == 0 ? 4 : 2) - dcSymbols}});
            std::vector<Uncounted> ac;
            for (int size = 1; size < 16; ++size) {
                std::uint64_t counted = 0;
                for (int run = 0; run < 16; ++run)
                    counted += total.ac[t][run * 16 + size];
                if (category[t][size] > counted)
                    ac.push_back({size, 16, 16, category[t][size] - counted});
            }
            bits += leastSymbolBits(total.ac[t], 256, ac);
        }
        // Rounded down, with room for the floating-point error.
        const double symbolBits = std::max(0.0, bits * (1 - 1e-9) - 2);
        return kHeaderBytes + (knownMagnitudeBits() + std::uint64_t(symbolBits)) / 8;
    };
    const auto bound = [&] {
        std::uint64_t bits = knownMagnitudeBits() + (acNonzero > total.acNonzero ? acNonzero - total.acNonzero : 0)
                             + (d->blocks - total.blocks);
        std::uint64_t header = kHeaderBytes;
        for (int t = 0; t < 2; ++t) {
            int used = 0;
            bits += huffmanBits(total.dc[t], 16, used);
            header += std::uint64_t(used);
            bits += huffmanBits(total.ac[t], 256, used);
            header += std::uint64_t(used);
        }
        return header + (bits + 7) / 8;
    };
    for (int stage = 0; stage < kStages; ++stage) {
        std::vector<int> mine;
        for (int band = stage; band < bands; band += kStages)
            mine.push_back(band);
        std::vector<Stats> stats(mine.size());
        parallel(d->pool, int(mine.size()), [&](int i) {
            const int first = mine[std::size_t(i)] * kBandRows, end = std::min(first + kBandRows, d->mcuRows);
            d->countRange(stats[std::size_t(i)], 0, first, end, luma);
            d->countRange(stats[std::size_t(i)], 1, first, end, chroma);
            d->countRange(stats[std::size_t(i)], 2, first, end, chroma);
        });
        for (const Stats &s : stats)
            total.add(s);
        if (stage + 1 < kStages) {
            const std::uint64_t partial = std::max(bound(), entropyBound());
            if (partial > stopAbove)
                return partial;
        }
    }
    d->lastCounted = total;
    d->lastCountedQuality = quality;
    return bound();
}

JpegSizeBounds::SymbolCounts JpegSizeBounds::Counts(int quality) const
{
    if (d->lastCountedQuality != quality)
        HuffmanBound(quality);
    SymbolCounts counts;
    for (int t = 0; t < 2; ++t) {
        std::copy(std::begin(d->lastCounted.dc[t]), std::end(d->lastCounted.dc[t]), counts.dc[t]);
        std::copy(std::begin(d->lastCounted.ac[t]), std::end(d->lastCounted.ac[t]), counts.ac[t]);
    }
    return counts;
}
