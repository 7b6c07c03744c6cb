#include "MainWindowFixture.h"
#include "frmDropZone.h"
#include "frmMain.h"

#include <QFileInfo>
#include <QScreen>
#include <QTest>

using DropZone = MainWindow;

TEST_F(DropZone, OpensWhereItWasClosed)
{
    writeIni("[DropZone]\nX=3000\nY=1500\n");
    frmMain w(boxes);
    EXPECT_EQ(w.dropZone(), nullptr);
    w.chkDropZone->setState(1);
    frmDropZone *zone = w.dropZone();
    ASSERT_NE(zone, nullptr);
    EXPECT_TRUE(zone->isVisible());
    EXPECT_EQ(zone->pos(), QPoint(200, 100));   // twips
    // Even corners: the mask is the same turned upside down and mirrored.
    const QRegion mask = zone->mask();
    const int w1 = zone->width() - 1, h1 = zone->height() - 1;
    QRegion flipped;
    for (const QRect &r : mask)
        flipped += QRect(w1 + 1 - r.x() - r.width(), h1 + 1 - r.y() - r.height(), r.width(), r.height());
    EXPECT_EQ(flipped, mask);
    for (const QPoint corner : {QPoint(0, 0), QPoint(w1, 0), QPoint(0, h1), QPoint(w1, h1)})
        EXPECT_FALSE(mask.contains(corner)) << corner.x() << "," << corner.y();
    for (const QPoint edge : {QPoint(w1 / 2, 0), QPoint(0, h1 / 2), QPoint(3, 3)})   // only the corners
        EXPECT_TRUE(mask.contains(edge)) << edge.x() << "," << edge.y();

    zone->move(300, 150);
    QTest::mouseClick(w.chkDropZone, Qt::LeftButton);   // a user's click clears it
    EXPECT_EQ(w.chkDropZone->state(), 0);
    EXPECT_FALSE(zone->isVisible());
    EXPECT_EQ(modINIer::ReadIniValue(QStringLiteral("DropZone"), QStringLiteral("X")), QStringLiteral("4500"));
    EXPECT_EQ(modINIer::ReadIniValue(QStringLiteral("DropZone"), QStringLiteral("Y")), QStringLiteral("2250"));

    QTest::mouseClick(w.chkDropZone, Qt::LeftButton);
    EXPECT_EQ(w.chkDropZone->state(), 1);
    EXPECT_EQ(w.dropZone()->pos(), QPoint(300, 150));
    QFile::remove(ini);
    QDir().mkdir(ini);                        // settings that cannot be written are lost silently
    w.dropZone()->close();                    // any close clears the box
    EXPECT_EQ(w.chkDropZone->state(), 0);
    EXPECT_TRUE(boxes.shown.empty());
}

// (A saved place off every screen is brought back by the code the main
// window's BadSettingsFilesNeverStopTheWindow tests.)
TEST_F(DropZone, OpenAtShutdownOpensAgainAtTheNextStart)
{
    writeIni("[Main]\nDropZone=1\n");
    {
        frmMain w(boxes);
        ASSERT_NE(w.dropZone(), nullptr);
        w.close();
        EXPECT_FALSE(w.dropZone()->isVisible());
        EXPECT_EQ(w.chkDropZone->state(), 0);
    }
    frmMain again(boxes);
    ASSERT_NE(again.dropZone(), nullptr);
    EXPECT_TRUE(again.dropZone()->isVisible());
}

TEST_F(DropZone, ADropRestoresTheWindowAndLoadsTheFiles)
{
    const QString a = copy("horse.gif", "a.gif"), b = copy("video-001.bmp", "b.bmp"), c = copy("horse.bmp", "c.bmp");
    frmMain w(boxes);
    w.chkDropZone->setState(1);
    w.showMinimized();

    EXPECT_FALSE(dropFiles(w.dropZone(), {QStringLiteral("https://example.org/x.jpg")}));   // files only
    ASSERT_TRUE(dropFiles(w.dropZone(), {a}));
    settle(w);
    EXPECT_FALSE(w.isMinimized());
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.txtFile->text(), a);
    EXPECT_TRUE(boxes.shown.empty());
    // The zone's picture takes drops too; the rest is the window's intake.
    ASSERT_TRUE(dropFiles(w.dropZone()->imgLogo, {b, c}));
    settle(w);
    EXPECT_EQ(w.txtFile->text(), c);
}
