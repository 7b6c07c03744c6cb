#pragma once

#include <QString>

// Every message box of the program goes through this interface, so that the
// windows can be driven by tests with a scripted implementation.
class MessageBoxes
{
public:
    // Styles the program uses.
    enum Style : int {
        OkOnly = 0,
        Critical = 16,          // OK with a stop icon
        YesNoQuestion = 36,     // Yes and No with a question mark
        Exclamation = 48,       // OK with an exclamation mark
    };
    // Buttons a box can return.
    enum Button : int { Ok = 1, Yes = 6, No = 7 };

    virtual ~MessageBoxes() = default;

    // Shows a modal box and returns the button pressed. An empty title means
    // the application's title.
    virtual int show(const QString &text, int style, const QString &title = QString()) = 0;

    static QString applicationTitle() { return QStringLiteral("Quillmoss"); }
};
