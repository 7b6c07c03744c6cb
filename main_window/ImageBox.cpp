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
    // Only a picture of another size is scaled here.
    m_shown = reduced(picture, pixelSize());
    m_shown.setDevicePixelRatio(devicePixelRatioF());
    update();
}

QSize ImageBox::pixelSize() const { return size() * devicePixelRatioF(); }

QImage ImageBox::reduced(const QImage &picture, QSize size)
{
    if (picture.isNull() || picture.size() == size || size.isEmpty())
        return picture;
    return picture.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
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
