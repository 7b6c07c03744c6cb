#include "DigitsOnly.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QTimer>

void DigitsOnly::install(QLineEdit *box)
{
    box->installEventFilter(new DigitsOnly(box));
    box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), box));
}

bool DigitsOnly::eventFilter(QObject *watched, QEvent *event)
{
    auto *box = static_cast<QLineEdit *>(watched);
    if (event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent *>(event)->text();
        if (!text.isEmpty() && !passes(text.front()))
            return true;
    } else if (event->type() == QEvent::ShortcutOverride) {
        // Ctrl+V and friends reach a line edit as shortcuts first; let the
        // key press (and so the filter) see them instead.
        const QString text = static_cast<QKeyEvent *>(event)->text();
        if (!text.isEmpty() && !passes(text.front())) {
            event->accept();
            return true;
        }
    } else if (event->type() == QEvent::FocusIn) {
        box->selectAll();
        // Again after the click that gave the focus has placed the cursor.
        if (static_cast<QFocusEvent *>(event)->reason() == Qt::MouseFocusReason)
            QTimer::singleShot(0, box, &QLineEdit::selectAll);
    }
    return false;
}
