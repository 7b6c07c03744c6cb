#include "EngineTestSupport.h"
#include "Picture.h"
#include "SquashCore.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace EngineTest;

// Targets beyond what can be held are refused before anything is allocated
// for them: the peak memory does not move.
TEST(EdgeSizes, HugeTargetsAreRefusedBeforeAllocating)
{
    QTemporaryDir dir;
    SquashCore::Request r;
    r.picture = Picture::LoadPicture(corpus("Kleiber_by_Lukas_Baubkus.jpg"));
    r.inputPath = dir.filePath(QStringLiteral("k.jpg"));
    r.maxFileSize = 256000;
    const auto peakKiB = [] { rusage usage{}; getrusage(RUSAGE_SELF, &usage); return usage.ru_maxrss; };
    const long before = peakKiB();
    const float w = float(r.picture.width()), h = float(r.picture.height());
    // 999 % x 999 %, User (Pixels) 100000 x 100000, one side too wide.
    for (const auto &[width, height, number] : {std::tuple{w * 9.99f, h * 9.99f, 7}, {100000.f, 100000.f, 5}, {65501.f, 2.f, 5}}) {
        r.newWidth = width;
        r.newHeight = height;
        EXPECT_EQ(errorNumber([&] { SquashCore::Squash(r); }), number) << width << " x " << height;
    }
    EXPECT_LT(peakKiB() - before, 50 * 1024);
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

// A one-pixel picture kept at its size, and a photo of grass made one pixel.
TEST(EdgeSizes, OnePixelPicturesAndTargetsWork)
{
    QTemporaryDir dir;
    QImage dot(1, 1, QImage::Format_RGB32);
    dot.fill(qRgb(30, 200, 90));
    for (const QImage &picture : {dot, Picture::LoadPicture(corpus("GreenMeadow.jpg"))}) {
        SquashCore::Request r;
        r.picture = picture;
        r.inputPath = dir.filePath(QStringLiteral("p.bmp"));
        r.maxFileSize = 1000;
        r.newWidth = r.newHeight = picture.width() > 1 ? 1 : 0;
        const auto result = SquashCore::Squash(r);
        EXPECT_EQ(result.outcome, SquashCore::Outcome::Success);
        const QImage back = Picture::LoadPicture(result.outputPath);
        EXPECT_EQ(back.size(), QSize(1, 1));
        EXPECT_GT(qGreen(back.pixel(0, 0)), qRed(back.pixel(0, 0)));   // still green
    }
}
