#include "AppError.h"
#include "FileSizeLimit.h"
#include "modINIer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using modINIer::ReadIniValue;
using modINIer::WriteIniValue;

namespace {

class Ini : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("settings.ini"));

    void SetUp() override { modINIer::SetIniPath(path); }
    void TearDown() override { modINIer::SetIniPath(QString()); }

    void put(const QByteArray &text)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray file() const
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
};

} // namespace

TEST_F(Ini, ReadsLikeAProfileFile)
{
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix")), QString());   // no file
    const QString longValue(300, QLatin1Char('p'));
    put("; settings\n"
        "[DropZone]\nX=120\n\n"
        "  [ main ]  \n"
        "suffix = \" _x \"\n"
        "TopMost=  2  \n"
        "Last Saved=\"2006/3/3 9:5:7\"\n"
        "Half=\"open\n"
        "LastUsedPath=" + longValue.toUtf8() + "\n"
        "[Form]\nX=letters\n");
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix")), QStringLiteral(" _x "));
    EXPECT_EQ(ReadIniValue(QStringLiteral("MAIN"), QStringLiteral("topmost")), QStringLiteral("2"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("Last Saved")), QStringLiteral("2006/3/3 9:5:7"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("Half")), QStringLiteral("\"open"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("LastUsedPath")), longValue);   // not cut
    EXPECT_EQ(ReadIniValue(QStringLiteral("DropZone"), QStringLiteral("X")), QStringLiteral("120"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Form"), QStringLiteral("X")), QStringLiteral("letters"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Form"), QStringLiteral("Y")), QString());
    EXPECT_EQ(ReadIniValue(QStringLiteral("Nowhere"), QStringLiteral("X")), QString());
}

TEST_F(Ini, WritesInPlaceAndKeepsEveryOtherLine)
{
    put("; kept comment\r\n[DropZone]\r\nX=120\r\n\r\n[Main]\r\nUnknown = 1\r\nSUFFIX=\"old\"\r\n\r\n[Other]\r\nk=v\r\n");
    WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), QStringLiteral("\"_new\""));
    WriteIniValue(QStringLiteral("main"), QStringLiteral("TopMost"), QStringLiteral("1"));
    WriteIniValue(QStringLiteral("Form"), QStringLiteral("X"), QStringLiteral("1800"));
    EXPECT_EQ(file(), QByteArray("; kept comment\r\n[DropZone]\r\nX=120\r\n\r\n[Main]\r\nUnknown = 1\r\nSuffix=\"_new\"\r\n"
                                 "TopMost=1\r\n\r\n[Other]\r\nk=v\r\n[Form]\r\nX=1800\r\n"));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix")), QStringLiteral("_new"));

    // A missing file is created; a long value survives whole.
    QFile::remove(path);
    const QString longPath = QStringLiteral("/") + QString(400, QLatin1Char('d')) + QStringLiteral("/.");
    WriteIniValue(QStringLiteral("Main"), QStringLiteral("LastUsedPath"), QLatin1Char('"') + longPath + QLatin1Char('"'));
    EXPECT_EQ(ReadIniValue(QStringLiteral("Main"), QStringLiteral("LastUsedPath")), longPath);
    EXPECT_EQ(file(), "[Main]\nLastUsedPath=\"" + longPath.toUtf8() + "\"\n");
}

TEST_F(Ini, AFailedWriteLeavesTheFileAsItWas)
{
    const QByteArray before = "[Main]\nSuffix=\"_keep\"\nTopMost=1\n" + QByteArray(4000, ';') + "\n";
    put(before);
    {
        FileSizeLimit full(1024);   // the rewritten file cannot be written whole
        EXPECT_THROW(WriteIniValue(QStringLiteral("Main"), QStringLiteral("TopMost"), QStringLiteral("0")), AppError);
    }
    EXPECT_EQ(file(), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.ini")});
    EXPECT_THROW(WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), QStringLiteral("two\nlines")), AppError);
    EXPECT_EQ(file(), before);
}

TEST(IniLocation, BesideTheExecutableNamedAfterIt)
{
    int argc = 1;
    char name[] = "test_support";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    modINIer::SetIniPath(QString());
    EXPECT_EQ(modINIer::IniPath(), QCoreApplication::applicationDirPath() + QStringLiteral("/test_support.ini"));
}
