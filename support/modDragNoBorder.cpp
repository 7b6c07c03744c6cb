#include "modDragNoBorder.h"

#include <QWidget>
#include <QWindow>

void DragNoBorder(QWidget *window)
{
    if (QWidget *top = window->window(); top->windowHandle())
        top->windowHandle()->startSystemMove();
}
