#pragma once

#include "SettingsTable.h"

#include <QPoint>
#include <QSize>

class QWidget;

// Where a window stands between runs: its left and top edges in twips under
// two keys of the settings table.
namespace WindowPosition {

// Places the window at `designed`, then at the saved edges; an edge that
// cannot be read keeps its designed value. A place off every screen is
// brought back onto the nearest one. Failures are skipped.
void Restore(QWidget *window, const SettingsTable::Key &x, const SettingsTable::Key &y, QPoint designed);

// Writes the window's edges, except where the platform (Wayland) does not
// tell a window where it stands: there the saved place is kept.
void Save(const QWidget *window, const SettingsTable::Key &x, const SettingsTable::Key &y);

// The top left corner that centres a window of `size` on the main screen.
QPoint Centred(QSize size);

} // namespace WindowPosition
