#pragma once

#include <QCheckBox>

// A check box with the states 0 (clear), 1 (checked) and 2 (grey). Grey is
// set only by the program; a click toggles between clear and checked.
class StateCheckBox : public QCheckBox
{
public:
    explicit StateCheckBox(const QString &text, QWidget *parent = nullptr) : QCheckBox(text, parent)
    {
        setTristate(true);
    }

    int state() const { return int(checkState()); }
    // Returns false for a value that is not a state; the box is then unchanged.
    bool setState(int value)
    {
        if (value < 0 || value > 2)
            return false;
        setCheckState(Qt::CheckState(value));
        return true;
    }

protected:
    void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};
