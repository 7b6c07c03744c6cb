#pragma once

#include "ScriptedBoxes.h"
#include "modINIer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A scratch folder with the settings file in it, and scripted message boxes.

inline QString corpus(const char *name) { return QStringLiteral(QUILLMOSS_CORPUS "/") + QString::fromUtf8(name); }

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class MainWindow : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString ini = dir.filePath(QStringLiteral("quillmoss.ini"));
    ScriptedBoxes boxes;

    void SetUp() override { modINIer::SetIniPath(ini); }
    void TearDown() override { modINIer::SetIniPath(QString()); }

    void writeIni(const QByteArray &text)
    {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QString copy(const char *name, const QString &as = QString())
    {
        const QString to = dir.filePath(as.isEmpty() ? QString::fromUtf8(name) : as);
        QFile::copy(corpus(name), to);
        QFile(to).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        return to;
    }
    QStringList files() const
    {
        QStringList all = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        all.removeAll(QStringLiteral("quillmoss.ini"));
        return all;
    }
};

