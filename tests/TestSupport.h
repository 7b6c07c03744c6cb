#pragma once

#include "AppError.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <iosfwd>

// Helpers every test program shares (the quillmoss_test_support library).

// The path of a test picture: tests/pictures/NAME, or one made from those at
// build time. A picture that is in neither place fails the calling test,
// naming the path it looked for.
QString corpus(const char *name);

// Copies the test picture NAME to `to`, writable by its owner, and returns
// `to`; a failed copy fails the calling test.
QString copyPicture(const char *name, const QString &to);

// The file's bytes; empty when it cannot be read.
QByteArray readAll(const QString &path);
bool writeAll(const QString &path, const QByteArray &data);

// The number of the AppError that f throws; 0 when it throws none.
template <typename F>
int errorNumber(F f)
{
    try {
        f();
    } catch (const AppError &e) {
        return e.number();
    }
    return 0;
}

// Failed comparisons print text instead of the object's bytes.
QT_BEGIN_NAMESPACE
void PrintTo(const QString &s, std::ostream *os);
void PrintTo(const QByteArray &b, std::ostream *os);
void PrintTo(const QVariant &v, std::ostream *os);
QT_END_NAMESPACE
