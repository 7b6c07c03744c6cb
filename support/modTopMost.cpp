#include "modTopMost.h"

#include <QWidget>

void SetTopMost(QWidget *window, bool bTopMost)
{
    if (bool(window->windowFlags() & Qt::WindowStaysOnTopHint) == bTopMost)
        return;
    // Changing a window flag re-creates the native window hidden; put it back
    // where it was.
    const bool visible = window->isVisible();
    const QPoint position = window->pos();
    const QSize size = window->size();
    window->setWindowFlag(Qt::WindowStaysOnTopHint, bTopMost);
    window->resize(size);
    window->move(position);
    if (visible)
        window->show();
}
