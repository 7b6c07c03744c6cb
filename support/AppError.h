#pragma once

#include <QString>
#include <exception>
#include <string>

// The program's one kind of failure: a number a user can see, where it
// happened, and a description. Lower layers throw it and catch nothing.
class AppError : public std::exception
{
public:
    // The classic run-time numbers the program reports.
    enum Number : int {
        InvalidCall = 5,      // "Invalid procedure call or argument"
        Overflow = 6,         // "Overflow"
        OutOfMemory = 7,      // "Out of memory"
        DivisionByZero = 11,  // "Division by zero"
        TypeMismatch = 13,    // "Type mismatch"
        UserInterrupt = 18,   // "User interrupt occurred"
        FileNotFound = 53,    // "File not found"
        PermissionDenied = 70,
        PathFileAccess = 75,  // "Path/File access error"
        ObjectNotSet = 91,    // "Object variable or With block variable not set"
        InvalidPicture = 481, // "Invalid picture"
        JpegWriter = 26001,
    };

    AppError(int number, QString source, QString description);
    // An error with the standard description of its number.
    AppError(int number, QString source);

    int number() const noexcept { return m_number; }
    const QString &source() const noexcept { return m_source; }
    const QString &description() const noexcept { return m_description; }

    // "Error N: description", the text every error report shows.
    QString reportText() const;

    const char *what() const noexcept override { return m_what.c_str(); }

    // The standard description of a run-time error number ("" if unknown).
    static QString standardDescription(int number);

private:
    int m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};
