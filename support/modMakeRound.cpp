#include "modMakeRound.h"

#include <QRegion>
#include <QWidget>

void MakeRound(QWidget *window, int lCorner)
{
    const int width = window->frameGeometry().width();
    const int height = window->frameGeometry().height();
    const int c = qBound(0, lCorner, qMin(width, height));
    const int r = c / 2;
    QRegion region = QRegion(r, 0, width - 2 * r, height) + QRegion(0, r, width, height - 2 * r);
    if (c > 0) {
        region += QRegion(0, 0, c, c, QRegion::Ellipse);
        region += QRegion(width - c, 0, c, c, QRegion::Ellipse);
        region += QRegion(0, height - c, c, c, QRegion::Ellipse);
        region += QRegion(width - c, height - c, c, c, QRegion::Ellipse);
    }
    window->setMask(region);
}
