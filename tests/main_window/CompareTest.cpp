#include "ImageBox.h"
#include "MainWindowFixture.h"
#include "frmCompare.h"
#include "frmMain.h"
#include "frmPicture.h"

#include <QDialog>
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

// Nothing to show is answered with a box. The compare window opens with the
// pair prepared off the window's thread, titled with the figures; each
// thumbnail's viewer shows its picture at its own size, the squashed one
// sized by the file, not by the target fields of a later squash that ended
// before writing, and decoded off the window's thread.
TEST_F(MainWindow, TheViewersAndTheCompareWindowShowThePictures)
{
    frmMain w(boxes);
    w.imgPicture_Click();
    w.openCompare();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("No picture has been loaded"));
    EXPECT_EQ(boxes.shown[1].text, QStringLiteral("The Squashed picture does not exist"));

    const QString input = dir.filePath(QStringLiteral("wide.bmp"));
    QImage(1024, 768, QImage::Format_RGB32).save(input);
    load(w, input);
    w.optResize[1]->click();   // 640x480
    squash(w);
    ASSERT_TRUE(w.imgSquashed->hasPicture());

    w.openCompare();
    frmCompare *compare = w.compareWindow();
    ASSERT_NE(compare, nullptr);
    ASSERT_TRUE(compare->ready() || QSignalSpy(compare, &frmCompare::shown).wait(30000));
    const SquashJob::Result &result = w.pictures()[0].result;
    EXPECT_TRUE(compare->windowTitle().contains(
        QStringLiteral("%1% JPEG quality, %2 bytes, PSNR ").arg(result.quality).arg(result.outputBytes)))
        << qPrintable(compare->windowTitle());
    EXPECT_TRUE(compare->view()->hasPictures());
    compare->close();

    // Looks at the modal viewer once it is open, then closes it.
    QSize inner, content;
    QTimer inspect;
    QObject::connect(&inspect, &QTimer::timeout, [&] {
        if (auto *viewer = qobject_cast<QDialog *>(QApplication::activeModalWidget())) {
            inner = viewer->size();
            content = w.viewer()->contentSize();
            viewer->close();
        }
    });
    inspect.start(0);
    w.imgPicture_Click();
    EXPECT_EQ(content, QSize(1024, 768));
    w.m_sngNewWidth = 800;
    w.m_sngNewHeight = 600;
    w.imgSquashed_Click();
    EXPECT_TRUE(w.busy());
    settle(w);
    inspect.stop();
    EXPECT_EQ(inner, QSize(640, 480));
    EXPECT_EQ(content, QSize(640, 480));

    QFile::remove(w.m_strSquashedFile);
    w.imgSquashed_Click();
    EXPECT_EQ(boxes.shown.back().text, QStringLiteral("The Squashed picture does not exist"));
    EXPECT_FALSE(w.imgSquashed->hasPicture());
}
