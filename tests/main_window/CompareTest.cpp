#include "MainWindowFixture.h"
#include "frmCompare.h"
#include "frmMain.h"

#include <QSignalSpy>
#include <QTest>

namespace {

QImage filled(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

// The original shows left of the split line and the squashed picture right
// of it, fitted and at 1:1; dragging the line moves the boundary.
TEST(CompareView, TheSplitShowsTheOriginalLeftAndTheSquashedRight)
{
    CompareView view;
    view.resize(400, 200);
    const auto colourAt = [&](int x, int y) { return QColor(view.grab().toImage().pixel(x, y)); };
    struct Case { const char *what; QSize picture; bool fit; int dragTo; int left, right; };
    const Case cases[] = {
        {"fitted (reduced), split in the middle", {800, 400}, true, -1, 190, 210},
        {"fitted, line dragged to a quarter", {800, 400}, true, 100, 90, 110},
        {"1:1, a smaller picture centred", {200, 100}, false, -1, 190, 210},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        view.setPictures(filled(c.picture, Qt::red), filled(c.picture, Qt::blue));
        view.setFit(c.fit);
        if (c.dragTo >= 0) {
            QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(200, 150));
            QTest::mouseMove(&view, QPoint(c.dragTo, 150));
            QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(c.dragTo, 150));
        }
        EXPECT_EQ(colourAt(c.left, 120), QColor(Qt::red));
        EXPECT_EQ(colourAt(c.right, 120), QColor(Qt::blue));
    }
}

// From the main window: the squashed picture's compare window opens with
// the pair prepared off the window's thread, titled with the figures.
TEST_F(MainWindow, CompareOpensForTheSquashedPicture)
{
    frmMain w(boxes);
    w.openCompare();   // nothing squashed yet
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("The Squashed picture does not exist"));
    load(w, copy("GreenMeadow.jpg"));
    w.optSize[1]->click();     // 50 KB
    w.optResize[1]->click();   // 640x480
    squash(w);
    w.openCompare();
    frmCompare *compare = w.compareWindow();
    ASSERT_NE(compare, nullptr);
    if (!compare->ready()) {
        ASSERT_TRUE(QSignalSpy(compare, &frmCompare::shown).wait(30000));
    }
    const SquashJob::Result &result = w.pictures()[0].result;
    EXPECT_TRUE(compare->windowTitle().contains(QStringLiteral("%1% JPEG quality, %2 bytes, PSNR ")
                                                     .arg(result.quality).arg(result.outputBytes)))
        << qPrintable(compare->windowTitle());
    EXPECT_TRUE(compare->view()->hasPictures());
    compare->close();
}
