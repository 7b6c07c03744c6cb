#include "modTopMost.h"

#include <QWidget>
#include <gtest/gtest.h>

// Changing the flags hides a window and may move it: both are put back, and
// a hidden window is not shown. (MakeRound's corners are checked on the drop zone.)
TEST(WindowHelpers, TopMostKeepsPlaceSizeAndVisibility)
{
    QWidget window, hidden;
    window.setGeometry(40, 50, 200, 120);
    window.show();
    const QRect place = window.geometry();
    for (const bool on : {true, false}) {
        SetTopMost(&window, on);
        EXPECT_EQ(bool(window.windowFlags() & Qt::WindowStaysOnTopHint), on);
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(window.geometry(), place);
    }
    SetTopMost(&hidden, true);
    EXPECT_FALSE(hidden.isVisible());
}
