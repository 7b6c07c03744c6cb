#pragma once

#include "AppError.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Small helpers the test files share.

#ifdef QUILLMOSS_CORPUS
inline QString corpus(const char *name) { return QStringLiteral(QUILLMOSS_CORPUS "/") + QString::fromUtf8(name); }
#endif

// The file's bytes; empty when it cannot be read.
inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

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
