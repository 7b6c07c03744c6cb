#pragma once

class QWidget;

// Lets the window system move a window without a title bar with the mouse,
// as if its caption had been pressed. Call it from a mouse press.
void DragNoBorder(QWidget *window);
