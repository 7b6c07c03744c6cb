#include "QtMessageBoxes.h"

#include <QMessageBox>

int QtMessageBoxes::show(const QString &text, int style, const QString &title)
{
    const QString caption = title.isEmpty() ? applicationTitle() : title;
    QMessageBox box(m_parent);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (style) {
    case Critical: box.setIcon(QMessageBox::Critical); break;
    case YesNoQuestion: box.setIcon(QMessageBox::Question); break;
    case Exclamation: box.setIcon(QMessageBox::Warning); break;
    default: box.setIcon(QMessageBox::NoIcon); break;
    }
    if (style == YesNoQuestion) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? Yes : No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return Ok;
}
