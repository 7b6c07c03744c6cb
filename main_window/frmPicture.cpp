#include "frmPicture.h"

#include <QLabel>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

frmPicture::frmPicture(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Picture"));
    m_label = new QLabel;
    m_label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidget(m_label);
    m_scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_scroll);
    resize(265, 148);   // the designed inner area
}

void frmPicture::setPicture(const QImage &picture)
{
    m_picture = picture;
    m_label->setPixmap(picture.isNull() ? QPixmap() : QPixmap::fromImage(picture));
    m_label->resize(picture.isNull() ? QSize(0, 0) : picture.size());
}

QSize frmPicture::contentSize() const { return m_label->size(); }

void frmPicture::SizeToPicture(int W, int H)
{
    QSize inner(std::max(W, 1), std::max(H, 1));
    if (const QScreen *screen = this->screen()) {
        // Leave room for the window frame; scroll bars take over beyond it.
        const QSize room = screen->availableGeometry().size() - QSize(16, 48);
        if (inner.width() > room.width() || inner.height() > room.height())
            inner = inner.boundedTo(room);
    }
    resize(inner);
}

void frmPicture::done(int result)
{
    // Closing unloads the picture; the next opening starts afresh.
    setPicture(QImage());
    QDialog::done(result);
}
