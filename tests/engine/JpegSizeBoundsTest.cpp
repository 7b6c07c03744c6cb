#include "EngineTestSupport.h"
#include "JpegSizeBounds.h"
#include "Picture.h"
#include "mIntelJPEGLibrary.h"

#include <atomic>
#include <cstdlib>
#include <new>
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
            // Stopped early, the bound of the blocks counted so far and of
            // what the others must add.
            for (const std::uint64_t stop : {real / 3, real * 9 / 10})
                ASSERT_LE(bounds.HuffmanBound(q, stop), real) << "q" << q;
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
