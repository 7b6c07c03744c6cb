#pragma once

#include <QPlainTextEdit>
#include <QScrollBar>

// The message area: multi-line and read-only, wrapping a long message so
// that its beginning shows and the rest scrolls into view.
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
        setFrameShape(QFrame::Box);
        connect(this, &QPlainTextEdit::textChanged, this, [this] { emit changed(text()); });
    }
    QString text() const { return toPlainText(); }
    // A new message shows from its beginning, wherever the last was scrolled to.
    void setText(const QString &text)
    {
        setPlainText(text);
        verticalScrollBar()->setValue(0);
    }

signals:
    void changed(const QString &text);
};
