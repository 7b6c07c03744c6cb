#pragma once

#include "ProgressSurface.h"

#include <QObject>
#include <cstdint>

// A horizontal bar with a centred percentage, drawn whole on the surface
// each call. value is a length in the surface's pixels, not a percentage,
// and is not clamped.
class clsProgressBar : public QObject
{
    Q_OBJECT
public:
    explicit clsProgressBar(QObject *parent = nullptr) : QObject(parent) {}

    double BackColor() const { return m_backColor; }
    void BackColor(double vData);     // rounded half to even; 6 "Overflow" outside 32 bits
    double ForeColor() const { return m_foreColor; }
    void ForeColor(double vData);
    std::int16_t value() const { return m_value; }
    void value(std::int16_t vData) { m_value = vData; }
    bool DrawText() const { return m_drawText; }
    void DrawText(bool vData) { m_drawText = vData; }
    // Printed before the percentage ("File 2 of 5  37%"); empty by default.
    QString Caption() const { return m_caption; }
    void Caption(const QString &vData) { m_caption = vData; }

    void InitProgress(ProgressSurface &PicBar) const;
    // Throws AppError 11 "Division by zero" on a surface of no width.
    void DrawStatus(ProgressSurface &PicBar);

signals:
    void ProgressDone();

private:
    std::int16_t m_value = 0;
    std::int32_t m_foreColor = 0xFF0000;
    std::int32_t m_backColor = std::int32_t(0x8000000Fu);
    bool m_drawText = true;
    QString m_caption;
};
