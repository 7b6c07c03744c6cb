#pragma once

#include <QImage>
#include <QWidget>

// An image box: shows its picture stretched to fill the box (proportions
// not kept) and reports clicks. It is handed a picture already reduced to
// its size (reduced(), off the window's thread), so that a 20-megapixel
// photo costs the window nothing.
class ImageBox : public QWidget
{
    Q_OBJECT
public:
    explicit ImageBox(QWidget *parent = nullptr);

    void setPicture(const QImage &picture);
    // The box's size in device pixels, and a picture stretched to a size.
    QSize pixelSize() const;
    static QImage reduced(const QImage &picture, QSize size);
    void clear();
    bool hasPicture() const { return !m_shown.isNull(); }
    // What the box shows, at the box's size.
    const QImage &shown() const { return m_shown; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    QImage m_shown;
};
