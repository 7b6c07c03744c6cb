#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>

// A picture-box-like drawing surface: pixel units, a persistent back image
// that refresh() shows, a background and a text colour, a bold font, text
// printed at a current position, and filled boxes drawn with the surface's
// pen mode (copy or exclusive-or).
class ProgressSurface : public QWidget
{
public:
    enum DrawMode { CopyPen = 13, XorPen = 7 };

    explicit ProgressSurface(QWidget *parent = nullptr);

    // Colours in the 0x00BBGGRR form; a value with the top bit set names a
    // system colour (15: the face colour of buttons).
    static QColor colorOf(std::int32_t value);

    void setScaleMode(int mode) { m_scaleMode = mode; }
    int scaleMode() const { return m_scaleMode; }
    void setAutoRedraw(bool on) { m_autoRedraw = on; }
    void setFontBold(bool bold);
    void setBackColor(std::int32_t colour);
    void setForeColor(std::int32_t colour);
    void setDrawMode(DrawMode mode) { m_drawMode = mode; }

    float scaleWidth() const { return float(width()); }
    float scaleHeight() const { return float(height()); }
    void setCurrentX(float x) { m_currentX = x; }
    void setCurrentY(float y) { m_currentY = y; }

    void cls();
    float textWidth(const QString &text) const;
    float textHeight(const QString &text) const;
    void print(const QString &text);
    // A filled box from (x1, y1) to (x2, y2) in the colour, by the pen mode.
    void lineFilled(float x1, float y1, float x2, float y2, std::int32_t colour);
    void refresh() { update(); }

    // What the surface shows, in its own pixels, and the text printed last
    // since it was cleared.
    const QImage &image() const { return m_image; }
    const QString &printed() const { return m_printed; }

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;

private:
    QImage m_image;
    int m_scaleMode = 1;
    bool m_autoRedraw = false;
    DrawMode m_drawMode = CopyPen;
    QColor m_back = Qt::white, m_fore = Qt::black;
    float m_currentX = 0, m_currentY = 0;
    QString m_printed;
};
