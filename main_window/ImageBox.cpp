#include "ImageBox.h"

#include <QMouseEvent>
#include <QPainter>

ImageBox::ImageBox(QWidget *parent) : QWidget(parent) { setCursor(Qt::PointingHandCursor); }

void ImageBox::setPicture(const QImage &picture)
{
    if (picture.isNull()) {
        clear();
        return;
    }
    const QSize pixels = size() * devicePixelRatioF();
    m_shown = picture.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    m_shown.setDevicePixelRatio(devicePixelRatioF());
    update();
}

void ImageBox::clear()
{
    m_shown = QImage();
    update();
}

void ImageBox::paintEvent(QPaintEvent *)
{
    if (m_shown.isNull())
        return;
    QPainter p(this);
    p.drawImage(rect(), m_shown);
}

void ImageBox::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}
