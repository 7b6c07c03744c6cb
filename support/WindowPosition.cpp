#include "WindowPosition.h"

#include "ErrorHandlers.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace WindowPosition {
namespace {

// A window that no screen shows could never be reached: move it onto the
// nearest screen.
QPoint onScreen(QPoint at, QSize size)
{
    const QRect frame(at, size);
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return at;
    QRect nearest;
    qint64 best = -1;
    for (const QScreen *screen : screens) {
        const QRect area = screen->availableGeometry();
        if (area.intersects(frame))
            return at;
        const QPoint d = area.center() - frame.center();
        const qint64 distance = qint64(d.x()) * d.x() + qint64(d.y()) * d.y();
        if (best < 0 || distance < best) {
            best = distance;
            nearest = area;
        }
    }
    return {std::clamp(at.x(), nearest.left(), std::max(nearest.left(), nearest.right() - size.width() + 1)),
            std::clamp(at.y(), nearest.top(), std::max(nearest.top(), nearest.bottom() - size.height() + 1))};
}

bool wayland() { return QGuiApplication::platformName().startsWith(QLatin1String("wayland")); }

} // namespace

QPoint Centred(QSize size)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return {};
    const QRect area = screen->availableGeometry();
    return area.topLeft() + QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2);
}

void Restore(QWidget *window, const SettingsTable::Key &x, const SettingsTable::Key &y, QPoint designed)
{
    QPoint at = designed;
    // The table clamps the twips, so the conversion to pixels stays defined.
    if (const auto left = SettingsTable::readTwips(x))
        at.setX(int(std::lround(*left / 15.0)));
    if (const auto top = SettingsTable::readTwips(y))
        at.setY(int(std::lround(*top / 15.0)));
    ErrorHandlers::skip([&] { window->move(onScreen(at, window->size())); });
}

void Save(const QWidget *window, const SettingsTable::Key &x, const SettingsTable::Key &y)
{
    if (wayland())
        return;
    ErrorHandlers::skip([&] { SettingsTable::writeTwips(x, double(float(window->x()) * 15.0f)); });
    ErrorHandlers::skip([&] { SettingsTable::writeTwips(y, double(float(window->y()) * 15.0f)); });
}

} // namespace WindowPosition
