#pragma once

#include <QImage>
#include <QWidget>

// An image box: shows its picture stretched to fill the box (proportions
// not kept) and reports clicks. The picture is reduced once to the box's
// size, so that a 20-megapixel photo costs nothing to repaint.
class ImageBox : public QWidget
{
    Q_OBJECT
public:
    explicit ImageBox(QWidget *parent = nullptr);

    void setPicture(const QImage &picture);
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
