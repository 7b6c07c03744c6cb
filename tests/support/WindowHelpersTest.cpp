#include "modMakeRound.h"
#include "modTopMost.h"

#include <QWidget>
#include <gtest/gtest.h>

TEST(WindowHelpers, MakeRoundCutsTheCornersOnly)
{
    QWidget window(nullptr, Qt::FramelessWindowHint);
    window.resize(35, 37);
    MakeRound(&window, 10);
    const QRegion mask = window.mask();
    for (const QPoint corner : {QPoint(0, 0), QPoint(34, 0), QPoint(0, 36), QPoint(34, 36)})
        EXPECT_FALSE(mask.contains(corner)) << corner.x() << "," << corner.y();
    for (const QPoint inside : {QPoint(17, 18), QPoint(17, 0), QPoint(0, 18), QPoint(34, 18), QPoint(17, 36), QPoint(3, 3)})
        EXPECT_TRUE(mask.contains(inside)) << inside.x() << "," << inside.y();
}

TEST(WindowHelpers, TopMostKeepsPlaceSizeAndVisibility)
{
    QWidget window;
    window.setGeometry(40, 50, 200, 120);
    window.show();
    const QPoint place = window.pos();
    SetTopMost(&window, true);
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.pos(), place);
    EXPECT_EQ(window.size(), QSize(200, 120));
    SetTopMost(&window, false);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(window.pos(), place);

    QWidget hidden;
    SetTopMost(&hidden, true);
    EXPECT_FALSE(hidden.isVisible());
}
