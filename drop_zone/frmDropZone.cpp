#include "frmDropZone.h"

#include "ErrorHandlers.h"
#include "Numbers.h"
#include "modDragNoBorder.h"
#include "modINIer.h"
#include "modMakeRound.h"
#include "modTopMost.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QScreen>

using ErrorHandlers::skip;

frmDropZone::frmDropZone(Owner owner, MessageBoxes &boxes)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint), m_owner(std::move(owner)), m_boxes(boxes)
{
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowTitle(QString());
    setWindowIcon(QIcon(QStringLiteral(":/icons/quillmoss-32.png")));
    setFixedSize(Width, Height);
    setAcceptDrops(true);
    imgLogo = new QLabel(this);
    imgLogo->setGeometry(0, 0, 32, 32);
    imgLogo->setPixmap(QPixmap(QStringLiteral(":/icons/quillmoss-32.png")));
    imgLogo->setToolTip(QStringLiteral("Drap and Drop your file(s) here"));
    imgLogo->setAcceptDrops(true);
    imgLogo->installEventFilter(this);
    Form_Load();
}

void frmDropZone::Form_Load()
{
    // The designed place: near the top right corner of the main screen.
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().topRight() + QPoint(-Width - 40, 40));
    skip([&] { MakeRound(this, Corner); });
    skip([&] { SetTopMost(this, true); });
    skip([&] { DragNoBorder(this); });   // without a pressed button this starts nothing
    skip([&] { move(qRound(Numbers::toFloat(modINIer::ReadIniValue(QStringLiteral("DropZone"), QStringLiteral("X"))) / 15.0f), y()); });
    skip([&] { move(x(), qRound(Numbers::toFloat(modINIer::ReadIniValue(QStringLiteral("DropZone"), QStringLiteral("Y"))) / 15.0f)); });
    keepOnScreen();
}

// A position off every screen would leave a window nobody can reach: bring
// it back onto the nearest screen.
void frmDropZone::keepOnScreen()
{
    const QRect frame(pos(), size());
    const QList<QScreen *> screens = QGuiApplication::screens();
    if (screens.isEmpty())
        return;
    QScreen *nearest = nullptr;
    qint64 best = -1;
    for (QScreen *screen : screens) {
        const QRect area = screen->availableGeometry();
        if (area.intersects(frame))
            return;
        const QPoint d = area.center() - frame.center();
        const qint64 distance = qint64(d.x()) * d.x() + qint64(d.y()) * d.y();
        if (best < 0 || distance < best) {
            best = distance;
            nearest = screen;
        }
    }
    const QRect area = nearest->availableGeometry();
    move(std::clamp(frame.x(), area.left(), area.right() - Width + 1),
         std::clamp(frame.y(), area.top(), area.bottom() - Height + 1));
}

void frmDropZone::Form_Unload()
{
    ErrorHandlers::report(m_boxes, [&] {
        if (m_owner.clearCheckBox)
            m_owner.clearCheckBox();
        // Wayland does not tell a window where it stands: keep the saved place.
        if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
            return;
        skip([&] { modINIer::WriteIniValue(QStringLiteral("DropZone"), QStringLiteral("X"), Numbers::floatText(float(x()) * 15.0f)); });
        skip([&] { modINIer::WriteIniValue(QStringLiteral("DropZone"), QStringLiteral("Y"), Numbers::floatText(float(y()) * 15.0f)); });
    });
}

void frmDropZone::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void frmDropZone::mousePressEvent(QMouseEvent *event)
{
    // Pressing and dragging moves the zone: it has no title bar to hold.
    if (event->button() == Qt::LeftButton)
        skip([&] { DragNoBorder(this); });
}

bool frmDropZone::eventFilter(QObject *watched, QEvent *event)
{
    // The icon passes presses and drops on to the window.
    if (watched == imgLogo && event->type() == QEvent::MouseButtonPress) {
        mousePressEvent(static_cast<QMouseEvent *>(event));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void frmDropZone::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void frmDropZone::dropEvent(QDropEvent *event)
{
    event->acceptProposedAction();
    skip([&] {
        if (QWidget *main = m_owner.mainWindow) {
            main->show();
            main->setWindowState(main->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
            main->raise();
        }
    });
    skip([&] {
        std::int16_t IndexCount = std::int16_t(std::min<qsizetype>(event->mimeData()->urls().size(), 32767));
        if (m_owner.LoadFileAfterDragging)
            m_owner.LoadFileAfterDragging(event->mimeData(), IndexCount);
    });
}
