#include "EngineTestSupport.h"
#include "JpegSizeBounds.h"
#include "JpegTransform.h"
#include "Picture.h"
#include "mIntelJPEGLibrary.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <gtest/gtest.h>

using namespace EngineTest;

// Allocations through operator new of at least this many bytes fail, so that
// a test can run out of memory in one place on purpose.
static std::atomic<std::size_t> failFrom {std::size_t(-1)};

void *operator new(std::size_t size)
{
    if (size >= failFrom.load())
        throw std::bad_alloc();
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
// Every form that pairs with the deletes below, so that no allocation of the
// runtime's own (AddressSanitizer's included) meets them.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return size >= failFrom.load() ? nullptr : std::malloc(size ? size : 1);
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new[](std::size_t size, const std::nothrow_t &t) noexcept { return operator new(size, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

struct FailingAllocations
{
    explicit FailingAllocations(std::size_t from) { failFrom = from; }
    ~FailingAllocations() { failFrom = std::size_t(-1); }
};

} // namespace

// The vectorised transform must give exactly the reference's numbers, or
// the bounds would no longer bound libjpeg's files. Noise and full-swing
// stripes reach the largest intermediates; odd widths the remainders.
TEST(JpegTransform, FastPathEqualsTheReference)
{
    using JpegTransform::Path;
    using Bytes = std::vector<std::uint8_t>;
    std::mt19937 random(7);
    for (int width : {1, 7, 17, 63, 129, 1001}) {
        SCOPED_TRACE(width);
        const std::size_t stride = std::size_t(width) * 3;
        const int half = (width + 1) / 2, blocks = width * 3 / 8;   // eight rows of samples as blocks
        for (int pattern = 0; pattern < 3; ++pattern) {
            Bytes pixels(stride * 16 + 64);
            for (std::size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = pattern == 0 ? std::uint8_t(random()) : ((i / 3 + i / stride) % 2) * 255 * (pattern == 1);
            Bytes planes[2][3], down[2];
            std::vector<std::int32_t> dct[2];
            for (int p = 0; p < 2; ++p) {
                const Path path = p ? Path::Fast : Path::Reference;
                for (auto &plane : planes[p])
                    plane.assign(std::size_t(width) + 1, 0);
                JpegTransform::ConvertRow(path, pixels.data(), width, planes[p][0].data(), planes[p][1].data(),
                                          planes[p][2].data());
                down[p].resize(std::size_t(half));
                JpegTransform::DownsampleRow(path, pixels.data(), pixels.data() + 2 * half, half, down[p].data());
                dct[p].resize(std::size_t(blocks) * 64);
                JpegTransform::ForwardDct(path, pixels.data(), stride, blocks, dct[p].data());
            }
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(planes[0][c], planes[1][c]);
            ASSERT_EQ(down[0], down[1]);
            ASSERT_EQ(dct[0], dct[1]);
        }
    }
}

// Every bound must never exceed the real length, at any quality, or the
// search would skip a quality that fits; the magnitude bound must never fall
// as the quality rises, or ruling out all higher qualities at once would be
// wrong. Odd sizes exercise the padding of partial blocks and MCUs; the
// greyscale and palette pictures odd colours.
TEST(JpegSizeBounds, BoundsNeverExceedTheRealLengthAndStayClose)
{
    struct Case { const char *file; int width, height; };
    const Case cases[] = {
        {"video-001.jpeg", 0, 0},            // 150 x 103
        {"horse.gif", 0, 0},
        {"Picture_1A_by_freespace.jpg", 0, 0}, // 1365 x 1074
        {"Grey_2560x1600.jpg", 641, 479},
        {"bug725582-testrotate.jpg", 17, 9},
    };
    mIntelJPEGLibrary::Encoder encoder, fromCoefficients;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        QImage picture = Picture::LoadPicture(corpus(c.file));
        if (c.width)
            picture = Picture::StretchPicture(picture, c.width, c.height);
        cDIBSection dib;
        dib.CreateFromPicture(picture);
        const JpegSizeBounds bounds(dib);
        double worst = 0;
        std::uint64_t higher = ~std::uint64_t(0);
        for (int q = 100; q >= 1; --q) {
            const std::vector<std::uint8_t> &bytes = encoder.Encode(dib, q);
            // The squash writes from the coefficients: the very same file.
            ASSERT_TRUE(fromCoefficients.Encode(bounds, q) == bytes) << "q" << q;
            const std::uint64_t real = bytes.size();
            const std::uint64_t magnitude = bounds.MagnitudeBound(q), quick = bounds.QuickBound(q);
            const std::uint64_t huffman = bounds.HuffmanBound(q);
            ASSERT_LE(magnitude, higher) << "q" << q;
            ASSERT_LE(magnitude, quick) << "q" << q;
            ASSERT_LE(quick, huffman) << "q" << q;
            ASSERT_LE(huffman, real) << "q" << q;
            // Stopped early, the bound of the blocks counted so far.
            ASSERT_LE(bounds.HuffmanBound(q, real / 3), real) << "q" << q;
            higher = magnitude;
            worst = std::max(worst, double(real - huffman) / double(real));
        }
        // Stuffed bytes and, at low qualities, the small tables separate the
        // Huffman bound from the file.
        EXPECT_LT(worst, 0.05);
    }
}

// Running out of memory on a worker thread or inside libjpeg's output
// reaches the caller as an error; the process goes on, and so does the
// encoder.
TEST(JpegSizeBounds, OutOfMemoryOnAWorkerOrInTheOutputIsAnError)
{
    cDIBSection dib;
    dib.CreateFromPicture(quadrants(64, 64));
    {
        const FailingAllocations fail(1 << 20);   // the workers' histograms
        EXPECT_THROW(JpegSizeBounds(dib, 2), std::bad_alloc);
    }
    const std::vector<std::uint8_t> expected = mIntelJPEGLibrary::Encoder().Encode(dib, 90);
    mIntelJPEGLibrary::Encoder encoder;
    try {
        const FailingAllocations fail(1 << 16);   // the output buffer
        encoder.Encode(dib, 90);
        FAIL() << "encoded without memory";
    } catch (const AppError &e) {
        EXPECT_EQ(e.number(), 26001);
        EXPECT_EQ(e.description(), QStringLiteral("Failed to save to JPG -5"));
    }
    EXPECT_EQ(encoder.Encode(dib, 90), expected);
}
