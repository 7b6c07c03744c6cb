#include "EngineTestSupport.h"
#include "JpegSizeBounds.h"
#include "Picture.h"
#include "mIntelJPEGLibrary.h"

#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

cDIBSection *dibOf(const QImage &picture)
{
    auto *dib = new cDIBSection;
    dib->CreateFromPicture(picture);
    return dib;
}

} // namespace

// Both bounds must never exceed the real length, at any quality, or the
// search would skip a quality that fits. Odd sizes exercise the padding of
// partial blocks and MCUs; the greyscale and palette pictures odd colours.
TEST(JpegSizeBounds, BoundsNeverExceedTheRealLengthAndStayClose)
{
    struct Case { const char *file; int width, height; };
    const Case cases[] = {
        {"video-001.jpeg", 0, 0},            // 150 x 103
        {"horse.gif", 0, 0},
        {"Picture_1A_by_freespace.jpg", 0, 0}, // 1365 x 1074
        {"Grey_2560x1600.jpg", 641, 479},
        {"GreenMeadow.jpg", 1001, 601},
        {"bug725582-testrotate.jpg", 17, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        QImage picture = Picture::LoadPicture(corpus(c.file));
        if (c.width)
            picture = Picture::StretchPicture(picture, c.width, c.height);
        std::unique_ptr<cDIBSection> dib(dibOf(picture));
        const JpegSizeBounds coefficients(*dib);
        double worst = 0;
        for (int q = 100; q >= 1; q -= (q > 90 || q < 15) ? 1 : 7) {
            const std::uint64_t real = mIntelJPEGLibrary::EncodeDib(*dib, q).size();
            const std::uint64_t quick = coefficients.QuickBound(q);
            const std::uint64_t huffman = coefficients.HuffmanBound(q);
            ASSERT_LE(quick, huffman) << "q" << q;
            ASSERT_LE(huffman, real) << "q" << q;
            worst = std::max(worst, double(real - huffman) / double(real));
        }
        // Stuffed bytes and, at low qualities, the small tables separate the
        // Huffman bound from the file.
        EXPECT_LT(worst, 0.05);
    }
}
