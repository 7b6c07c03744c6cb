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

    int state() const
    {
        switch (checkState()) {
        case Qt::Checked: return 1;
        case Qt::PartiallyChecked: return 2;
        default: return 0;
        }
    }
    // Returns false for a value that is not a state; the box is then unchanged.
    bool setState(int value)
    {
        static constexpr Qt::CheckState states[] = {Qt::Unchecked, Qt::Checked, Qt::PartiallyChecked};
        if (value < 0 || value > 2)
            return false;
        setCheckState(states[value]);
        return true;
    }

protected:
    void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};
