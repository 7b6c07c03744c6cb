#pragma once

#include <QPlainTextEdit>

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
    void setText(const QString &text) { setPlainText(text); }

signals:
    void changed(const QString &text);
};
