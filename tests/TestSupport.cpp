#include "TestSupport.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <ostream>

QString corpus(const char *name)
{
    const QString file = QString::fromUtf8(name);
    const QString made = QStringLiteral(QUILLMOSS_MADE_PICTURES "/") + file;
    if (QFileInfo::exists(made))
        return made;
    const QString path = QStringLiteral(QUILLMOSS_PICTURES "/") + file;
    if (!QFileInfo::exists(path))
        ADD_FAILURE() << "missing test picture: " << path.toStdString();
    return path;
}

QString copyPicture(const char *name, const QString &to)
{
    const QString from = corpus(name);
    if (!QFile::copy(from, to))
        ADD_FAILURE() << "could not copy " << from.toStdString() << " to " << to.toStdString();
    QFile(to).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    return to;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

void PrintTo(const QString &s, std::ostream *os)
{
    *os << ::testing::PrintToString(s.toStdString());
}

// File contents can be megabytes: the start and the length tell enough.
void PrintTo(const QByteArray &b, std::ostream *os)
{
    constexpr qsizetype shown = 64;
    *os << ::testing::PrintToString(b.left(shown).toStdString());
    if (b.size() > shown)
        *os << "... (" << b.size() << " bytes)";
}

void PrintTo(const QVariant &v, std::ostream *os)
{
    *os << (v.isValid() ? ::testing::PrintToString(v.toString().toStdString()) : std::string("(none)"));
}
