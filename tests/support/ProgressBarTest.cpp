#include "TestSupport.h"
#include "ProgressSurface.h"
#include "clsProgressBar.h"

#include <gtest/gtest.h>

namespace {

const QRgb kWhite = qRgb(255, 255, 255), kBlue = qRgb(0, 0, 255);

// A bar as the main window sets it up: blue on white, exclusive-or pen.
struct Bar
{
    ProgressSurface surface;
    clsProgressBar bar;
    int done = 0;

    explicit Bar(int width, int height = 17)
    {
        surface.resize(width, height);
        surface.setDrawMode(ProgressSurface::XorPen);
        bar.BackColor(16777215);
        bar.ForeColor(16711680);
        bar.InitProgress(surface);
        QObject::connect(&bar, &clsProgressBar::ProgressDone, [this] { ++done; });
    }
    QString draw(int value)
    {
        bar.value(std::int16_t(value));
        bar.DrawStatus(surface);
        return surface.printed();
    }
    // Counts the pixels of a colour in columns [x0, x1).
    int count(QRgb colour, int x0, int x1) const
    {
        int n = 0;
        for (int y = 0; y < surface.image().height(); ++y)
            for (int x = x0; x < x1; ++x)
                n += (surface.image().pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
        return n;
    }
};

} // namespace

TEST(ProgressBar, PercentTextRoundsHalfToEvenAndFullBarsSignal)
{
    EXPECT_THROW(Bar(0).draw(1), AppError);   // a surface without width
    Bar eight(8);
    EXPECT_EQ(eight.draw(0), QStringLiteral("0%"));
    EXPECT_EQ(eight.draw(1), QStringLiteral("12%"));
    EXPECT_EQ(eight.draw(3), QStringLiteral("38%"));
    EXPECT_EQ(eight.draw(-1), QStringLiteral("-12%"));
    EXPECT_EQ(eight.done, 0);
    EXPECT_EQ(eight.draw(8), QStringLiteral("100%"));
    EXPECT_EQ(eight.draw(400), QStringLiteral("100%"));
    EXPECT_EQ(eight.done, 2);   // on every full draw

    Bar wide(256);
    EXPECT_EQ(wide.draw(255), QStringLiteral("100%"));
    EXPECT_EQ(wide.done, 0);    // shown as 100% but not yet full
    EXPECT_EQ(wide.draw(256), QStringLiteral("100%"));
    EXPECT_EQ(wide.done, 1);
}

TEST(ProgressBar, DrawsTheBarAndInvertsTheTextItCovers)
{
    Bar bar(369);
    bar.draw(0);
    const int mid = 369 / 2;
    EXPECT_GT(bar.count(kBlue, mid - 20, mid + 20), 5);         // "0%" in blue
    EXPECT_EQ(bar.count(kBlue, 0, mid - 20), 0);                 // no bar yet
    EXPECT_EQ(bar.surface.image().pixel(0, 8) & 0xFFFFFF, kWhite & 0xFFFFFF);

    const QImage before = bar.surface.image();
    bar.bar.value(300);
    EXPECT_EQ(bar.surface.image(), before);                      // nothing until drawn

    bar.draw(300);
    EXPECT_EQ(bar.count(kBlue, 0, 10), 10 * 17);                 // bar colour at the left
    EXPECT_EQ(bar.count(kWhite, 300, 369), 69 * 17);             // background at the right
    const int inverted = bar.count(kWhite, mid - 20, mid + 20);  // "81%" white on blue
    EXPECT_GT(inverted, 5);
    EXPECT_EQ(inverted + bar.count(kBlue, mid - 20, mid + 20), 40 * 17);
}
