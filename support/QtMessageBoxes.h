#pragma once

#include "MessageBoxes.h"

class QWidget;

// The program's message boxes, shown with QMessageBox.
class QtMessageBoxes : public MessageBoxes
{
public:
    explicit QtMessageBoxes(QWidget *parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget *parent) { m_parent = parent; }
    int show(const QString &text, int style, const QString &title = QString()) override;

private:
    QWidget *m_parent;
};
