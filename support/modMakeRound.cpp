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
        // One rasterised corner, mirrored into the other three: an ellipse
        // region rounds its lower and right edges differently from its upper
        // and left ones, which left the bottom corners looking square.
        const QRegion corner(0, 0, c, c, QRegion::Ellipse);
        for (const QRect &r : corner) {
            region += r;
            region += QRect(width - r.x() - r.width(), r.y(), r.width(), r.height());
            region += QRect(r.x(), height - r.y() - r.height(), r.width(), r.height());
            region += QRect(width - r.x() - r.width(), height - r.y() - r.height(), r.width(), r.height());
        }
    }
    window->setMask(region);
}
