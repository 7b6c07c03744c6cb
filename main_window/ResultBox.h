#pragma once

#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>

// The message area: multi-line and read-only, wrapping a long message so
// that its beginning shows and the rest scrolls into view, a whole line at
// a time. Its scroll bar shows only when there is more than it shows.
class ResultBox : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ResultBox(QWidget *parent) : QPlainTextEdit(parent)
    {
        setReadOnly(true);
        setLineWrapMode(QPlainTextEdit::WidgetWidth);
        setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        document()->setDocumentMargin(1);
        // A plain one-pixel frame leaves the designed one-line box room for
        // a whole line and its margins, so one line needs no scroll bar.
        setFrameStyle(QFrame::Box | QFrame::Plain);
        connect(this, &QPlainTextEdit::textChanged, this, [this] { emit changed(text()); });
    }
    QString text() const { return toPlainText(); }
    // A new message shows from its beginning, wherever the last was scrolled to.
    void setText(const QString &text)
    {
        setPlainText(text);
        verticalScrollBar()->setValue(0);
    }

protected:
    // Drawn whole after a scroll: the part moved up holds the blanked line.
    void scrollContentsBy(int dx, int dy) override
    {
        QPlainTextEdit::scrollContentsBy(dx, dy);
        viewport()->update();
    }
    // A line the box cannot show whole is left out rather than shown in part.
    void paintEvent(QPaintEvent *event) override
    {
        QPlainTextEdit::paintEvent(event);
        const qreal bottom = viewport()->height();
        for (QTextBlock block = firstVisibleBlock(); block.isValid(); block = block.next()) {
            const QPointF at = blockBoundingGeometry(block).translated(contentOffset()).topLeft();
            if (at.y() >= bottom)
                return;
            const QTextLayout *layout = block.layout();
            for (int i = 0; i < layout->lineCount(); ++i) {
                const qreal top = at.y() + layout->lineAt(i).y();
                if (top + layout->lineAt(i).height() > bottom) {
                    QPainter(viewport()).fillRect(QRectF(0, top, viewport()->width(), bottom - top), palette().base());
                    return;
                }
            }
        }
    }

signals:
    void changed(const QString &text);
};
