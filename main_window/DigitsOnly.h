#pragma once

#include <QObject>

class QLineEdit;

// The number boxes' keyboard rules: a typed character passes only when it is
// a digit, Backspace or Delete (X11 gives Delete the character 0x7F; Enter
// and the clipboard shortcuts are characters too, and are dropped); keys
// without a character, such as the arrows, work as usual. Focus selects the whole text. A paste that is not all
// digits is refused, so no other text reaches the box from the user.
class DigitsOnly : public QObject
{
public:
    static void install(QLineEdit *box);

    // Whether the typed character passes the filter.
    static bool passes(QChar typed) { return (typed >= QLatin1Char('0') && typed <= QLatin1Char('9')) || typed == QChar(8) || typed == QChar(0x7F); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    using QObject::QObject;
};
