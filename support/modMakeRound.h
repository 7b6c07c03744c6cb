#pragma once

class QWidget;

// Cuts the window to a rounded rectangle of its current outer size whose
// corners are ellipses of lCorner x lCorner pixels. Computed once: a later
// change of size does not follow.
void MakeRound(QWidget *window, int lCorner);
