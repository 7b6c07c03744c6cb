#include "ProgressSurface.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

ProgressSurface::ProgressSurface(QWidget *parent) : QWidget(parent)
{
    QFont f = font();
    // Plain pixels keep the exclusive-or inversion of the text exact.
    f.setStyleStrategy(QFont::NoAntialias);
    setFont(f);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QColor ProgressSurface::colorOf(std::int32_t value)
{
    const auto v = std::uint32_t(value);
    if (v & 0x80000000u) {
        const QPalette palette = QApplication::palette();
        return (v & 0xFFu) == 15 ? palette.color(QPalette::Button) : palette.color(QPalette::Window);
    }
    return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
}

void ProgressSurface::setFontBold(bool bold)
{
    QFont f = font();
    f.setBold(bold);
    setFont(f);
}

void ProgressSurface::setBackColor(std::int32_t colour)
{
    m_back = colorOf(colour);
    cls();   // like a picture box, a new background clears the surface
}

void ProgressSurface::setForeColor(std::int32_t colour) { m_fore = colorOf(colour); }

void ProgressSurface::resizeEvent(QResizeEvent *)
{
    m_image = QImage(size(), QImage::Format_RGB32);
    m_image.fill(m_back);
}

void ProgressSurface::cls()
{
    if (m_image.size() != size())
        m_image = QImage(size(), QImage::Format_RGB32);
    m_image.fill(m_back);
    m_currentX = m_currentY = 0;
    m_printed.clear();
}

float ProgressSurface::textWidth(const QString &text) const
{
    return float(fontMetrics().horizontalAdvance(text));
}

float ProgressSurface::textHeight(const QString &) const { return float(fontMetrics().height()); }

void ProgressSurface::print(const QString &text)
{
    QPainter p(&m_image);
    p.setFont(font());
    p.setPen(m_fore);
    const QFontMetrics fm = fontMetrics();
    p.drawText(QPointF(m_currentX, m_currentY + fm.ascent()), text);
    m_currentX = 0;
    m_currentY += float(fm.height());
    m_printed = text;
}

void ProgressSurface::lineFilled(float x1, float y1, float x2, float y2, std::int32_t colour)
{
    const QRectF box = QRectF(QPointF(x1, y1), QPointF(x2, y2)).normalized();
    const QRect pixels = QRect(QPoint(qRound(box.left()), qRound(box.top())),
                               QPoint(qRound(box.right()) - 1, qRound(box.bottom()) - 1))
                             .intersected(m_image.rect());
    if (pixels.isEmpty())
        return;
    const QRgb rgb = colorOf(colour).rgb();
    if (m_drawMode != XorPen) {
        QPainter(&m_image).fillRect(pixels, QColor::fromRgb(rgb));
        return;
    }
    const QRgb flip = rgb & 0x00FFFFFFu;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        QRgb *row = reinterpret_cast<QRgb *>(m_image.scanLine(y));
        for (int x = pixels.left(); x <= pixels.right(); ++x)
            row[x] ^= flip;
    }
}

void ProgressSurface::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawImage(rect(), m_image);
}
