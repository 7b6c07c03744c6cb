#include "frmDropZone.h"

#include "ErrorHandlers.h"
#include <QUrl>
#include "modDragNoBorder.h"
#include "SettingsTable.h"
#include "WindowPosition.h"
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
    // Its tooltip shows while another program's window is active.
    setAttribute(Qt::WA_AlwaysShowToolTips);
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
    skip([&] { MakeRound(this, Corner); });
    skip([&] { SetTopMost(this, true); });
    skip([&] { DragNoBorder(this); });   // without a pressed button this starts nothing
    // The designed place: near the top right corner of the main screen.
    QPoint designed;
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        designed = screen->availableGeometry().topRight() + QPoint(-Width - 40, 40);
    WindowPosition::Restore(this, SettingsTable::DropZoneX, SettingsTable::DropZoneY, designed);
}

void frmDropZone::Form_Unload()
{
    ErrorHandlers::report(m_boxes, [&] {
        if (m_owner.clearCheckBox)
            m_owner.clearCheckBox();
        WindowPosition::Save(this, SettingsTable::DropZoneX, SettingsTable::DropZoneY);
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

// Only local files are taken, as on the main window.
bool frmDropZone::hasFiles(const QMimeData *data)
{
    if (data && data->hasUrls())
        for (const QUrl &url : data->urls())
            if (url.isLocalFile())
                return true;
    return false;
}

void frmDropZone::dragEnterEvent(QDragEnterEvent *event)
{
    if (hasFiles(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void frmDropZone::dropEvent(QDropEvent *event)
{
    if (!hasFiles(event->mimeData())) {
        event->ignore();
        return;
    }
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
