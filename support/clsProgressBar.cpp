#include "clsProgressBar.h"

#include "AppError.h"
#include "Numbers.h"

namespace {

std::int32_t colourValue(double vData) { return Numbers::roundToInt32(vData); }

} // namespace

void clsProgressBar::BackColor(double vData) { m_backColor = colourValue(vData); }

void clsProgressBar::ForeColor(double vData) { m_foreColor = colourValue(vData); }

void clsProgressBar::InitProgress(ProgressSurface &PicBar) const
{
    PicBar.setScaleMode(3);
    PicBar.setAutoRedraw(true);
    PicBar.setFontBold(true);
    PicBar.setBackColor(m_backColor);
    PicBar.setForeColor(m_foreColor);
}

void clsProgressBar::DrawStatus(ProgressSurface &PicBar)
{
    PicBar.cls();
    const float width = PicBar.scaleWidth();
    if (width == 0)
        throw AppError(AppError::DivisionByZero, QStringLiteral("Quillmoss.clsProgressBar"));
    const bool full = float(m_value) >= width;
    QString status = QStringLiteral("100%");
    if (!full) {
        const float p = float(m_value) / width * 100.0f;
        status = QString::number(qint64(Numbers::roundHalfEven(double(p)))) + QLatin1Char('%');
    }
    if (!m_caption.isEmpty())
        status = m_caption + QStringLiteral("  ") + status;
    if (m_drawText) {
        PicBar.setCurrentX(width / 2 - PicBar.textWidth(status) / 2);
        PicBar.setCurrentY(PicBar.scaleHeight() / 2 - PicBar.textHeight(QStringLiteral("1")) / 2);
    }
    if (full)
        emit ProgressDone();
    if (m_drawText)
        PicBar.print(status);
    PicBar.lineFilled(0, 0, float(m_value) / width * width, PicBar.scaleHeight(), m_backColor ^ m_foreColor);
    PicBar.refresh();
}
