#pragma once

class QWidget;

// Keeps a window above all others (on) or releases it (off). The window keeps
// its position, size and visibility.
void SetTopMost(QWidget *window, bool bTopMost);
