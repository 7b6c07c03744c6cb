#include "../TestFiles.h"
#include "FileSizeLimit.h"
#include "modINIer.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QStringList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
};

// What the program saw of a settings file: the values it read, then whether
// its writes went through and what it reads back afterwards.
struct Outcome
{
    QStringList reads;
    bool written = false;
    QString suffixAfter;
};

// Runs body in a child process as the unprivileged user `nobody` with its own
// configuration folder; false when that cannot be done (not root, no such user).
bool asNobody(const QString &configHome, const std::function<Outcome()> &body, Outcome &out)
{
    const passwd *nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || !nobody)
        return false;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    QDir().mkpath(configHome);
    if (::chown(QFile::encodeName(configHome).constData(), uid, gid) != 0)
        return false;
    // The child leaves what it saw in a file of its own folder.
    const QString report = configHome + QStringLiteral("/outcome");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(3);
        ::setenv("XDG_CONFIG_HOME", QFile::encodeName(configHome).constData(), 1);
        const Outcome o = body();
        QFile file(report);
        QDataStream stream(&file);
        const bool sent = file.open(QIODevice::WriteOnly) && (stream << o.reads << o.written << o.suffixAfter, file.flush());
        ::_exit(sent ? 0 : 4);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    QFile file(report);
    QDataStream stream(&file);
    if (file.open(QIODevice::ReadOnly))
        stream >> out.reads >> out.written >> out.suffixAfter;
    return true;
}

} // namespace

// Every file gets the same two writes (Main/Suffix, Form/X); whatever the
// program does not write must come back byte for byte.
TEST_F(Ini, WritesOnlyWhatItOwns)
{
    enum Where { Plain, ReadOnly, Link, Directory, AnotherUsersBesideTheProgram };
    struct Case
    {
        const char *what;
        Where where;
        QByteArray before;              // null: no file
        QStringList reads;              // section/key=expected, read before the writes
        bool written;
        QByteArray after;               // the file the writes go to
    };
    QByteArray binary(200000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) & 0xFF);
    const QByteArray written = "[Main]\nSuffix=\"_n\xc3\xa9\"\n[Form]\nX=15\n";
    const QByteArray oneSection = "[Main]\r\nSuffix=\"old\"\r\n; note\r\n";
    const QString longValue(300, QLatin1Char('p'));   // not cut when read
    const QByteArray profile = "; settings\n[DropZone]\nX=120\n\n  [ main ]  \nsuffix = \" _x \"\nTopMost=  2  \n"
                               "Half=\"open\nLastUsedPath=" + longValue.toUtf8() + "\n[Form]\nX=letters\n";
    const Case cases[] = {
        {"no file", Plain, QByteArray(), {QStringLiteral("Main/Suffix=")}, true, written},
        {"spaces, quotes and case as a profile file has them", Plain, profile,
         {QStringLiteral("Main/Suffix= _x "), QStringLiteral("MAIN/topmost=2"), QStringLiteral("Main/Half=\"open"),
          QStringLiteral("Main/LastUsedPath=") + longValue, QStringLiteral("DropZone/X=120"),
          QStringLiteral("Form/X=letters"), QStringLiteral("Form/Y="), QStringLiteral("Nowhere/X=")},
         true, QByteArray(profile).replace("suffix = \" _x \"", "Suffix=\"_n\xc3\xa9\"").replace("X=letters", "X=15")},
        {"CR LF, other keys and sections, key in other case", Plain,
         "; kept\r\n[DropZone]\r\nX=120\r\n\r\n[Main]\r\nUnknown = 1\r\nSUFFIX=\"old\"\r\n\r\n[Other]\r\nk=v\r\n",
         {}, true,
         "; kept\r\n[DropZone]\r\nX=120\r\n\r\n[Main]\r\nUnknown = 1\r\nSuffix=\"_n\xc3\xa9\"\r\n\r\n[Other]\r\nk=v\r\n"
         "[Form]\r\nX=15\r\n"},
        {"BOM, Latin-1 and UTF-8 bytes", Plain,
         "\xef\xbb\xbf[Main]\n; caf\xe9\nName=M\xfcller\nTown=Z\xc3\xbcrich\nSuffix=\"old\"\n[Form]\nY=30",
         {QStringLiteral("Main/Name=M\u00fcller"), QStringLiteral("Main/Town=Z\u00fcrich")}, true,
         "\xef\xbb\xbf[Main]\n; caf\xe9\nName=M\xfcller\nTown=Z\xc3\xbcrich\nSuffix=\"_n\xc3\xa9\"\n[Form]\nY=30\nX=15\n"},
        {"binary file", Plain, binary, {}, true, binary + '\n' + written},
        {"comment after a section header", Plain, "[Main]\nSuffix=\"old\"\n[Form] ; window\nY=30\n",
         {QStringLiteral("Form/Y=30"), QStringLiteral("Main/Y=")}, true,
         "[Main]\nSuffix=\"_n\xc3\xa9\"\n[Form] ; window\nY=30\nX=15\n"},
        {"read-only file", ReadOnly, oneSection, {QStringLiteral("Main/Suffix=old")}, false, oneSection},
        {"symlink", Link, oneSection, {QStringLiteral("Main/Suffix=old")}, true,
         "[Main]\r\nSuffix=\"_n\xc3\xa9\"\r\n; note\r\n[Form]\r\nX=15\r\n"},
        {"a folder in the way", Directory, QByteArray(), {}, false, QByteArray()},
        {"another user's file beside the program", AnotherUsersBesideTheProgram, oneSection,
         {QStringLiteral("Main/Suffix=old")}, true, "[Main]\r\nSuffix=\"_n\xc3\xa9\"\r\n; note\r\n[Form]\r\nX=15\r\n"},
    };
    const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        QString file = folder.filePath(QStringLiteral("settings.ini"));   // what the writes should change
        QString beside;
        modINIer::SetIniPath(file);
        switch (c.where) {
        case Plain:
        case ReadOnly:
            break;
        case Link:
            QDir(folder.path()).mkdir(QStringLiteral("dotfiles"));
            ASSERT_TRUE(QFile::link(QStringLiteral("dotfiles/real.ini"), file));
            file = folder.filePath(QStringLiteral("dotfiles/real.ini"));
            break;
        case Directory:
            QDir(folder.path()).mkdir(QStringLiteral("settings.ini"));
            break;
        case AnotherUsersBesideTheProgram:
            // The folder of this test program stands for a read-only program folder.
            beside = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget() + QStringLiteral(".ini");
            ::chmod(QFile::encodeName(folder.path()).constData(), 0711);
            file = folder.filePath(QStringLiteral("config/test_support/test_support.ini"));
            modINIer::SetIniPath(QString());
            break;
        }
        const QString source = beside.isEmpty() ? file : beside;
        if (!c.before.isNull()) {
            ASSERT_TRUE(writeAll(source, c.before));
            ::chmod(QFile::encodeName(source).constData(), c.where == ReadOnly ? 0444 : beside.isEmpty() ? 0640 : 0644);
            ::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), old, 0);
        }

        const auto run = [&c] {
            Outcome o;
            for (const QString &r : c.reads) {
                const QString name = r.section(QLatin1Char('='), 0, 0);
                o.reads << name + QLatin1Char('=') + ReadIniValue(name.section(QLatin1Char('/'), 0, 0),
                                                                  name.section(QLatin1Char('/'), 1));
            }
            try {
                WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), QStringLiteral("\"_n\u00e9\""));
                WriteIniValue(QStringLiteral("Form"), QStringLiteral("X"), QStringLiteral("15"));
                o.written = true;
            } catch (const AppError &) {
            }
            o.suffixAfter = ReadIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"));
            return o;
        };
        Outcome o;
        if (c.where != AnotherUsersBesideTheProgram) {
            o = run();
        } else {
            const auto inChild = [&] {
                int argc = 1;
                char name[] = "test_support";
                char *argv[] = {name, nullptr};
                QCoreApplication app(argc, argv);
                return run();
            };
            const bool ran = asNobody(folder.filePath(QStringLiteral("config")), inChild, o);
            QFile::remove(beside);
            if (!ran) {
                std::fprintf(stderr, "skipped \"%s\": needs root and the user nobody\n", c.what);
                continue;
            }
        }

        EXPECT_EQ(o.reads, c.reads);
        EXPECT_EQ(o.written, c.written);
        EXPECT_EQ(o.suffixAfter, c.written ? QStringLiteral("_n\u00e9") : c.before.isNull() ? QString() : QStringLiteral("old"));
        if (c.where == Directory) {
            EXPECT_TRUE(QFileInfo(file).isDir());
            continue;
        }
        EXPECT_EQ(readAll(file), c.after);
        if (!c.before.isNull() && beside.isEmpty()) {
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.where == ReadOnly ? 0444u : 0640u);
            if (c.written) {
                EXPECT_GT(st.st_mtim.tv_sec, old[1].tv_sec);   // a write is news to backup tools
            } else {
                EXPECT_EQ(st.st_mtim.tv_sec, old[1].tv_sec);
            }
        }
        if (c.where == Link) {
            EXPECT_EQ(QFileInfo(folder.filePath(QStringLiteral("settings.ini"))).symLinkTarget(), file);
        }
        // No temporaries left beside the file or its link.
        EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }
}

TEST_F(Ini, AFailedWriteLeavesTheFileAsItWas)
{
    const QByteArray before = "[Main]\nSuffix=\"_keep\"\nTopMost=1\n" + QByteArray(4000, ';') + "\n";
    ASSERT_TRUE(writeAll(path, before));
    {
        FileSizeLimit full(1024);   // the rewritten file cannot be written whole
        EXPECT_THROW(WriteIniValue(QStringLiteral("Main"), QStringLiteral("TopMost"), QStringLiteral("0")), AppError);
    }
    EXPECT_THROW(WriteIniValue(QStringLiteral("Main"), QStringLiteral("Suffix"), QStringLiteral("two\nlines")), AppError);
    EXPECT_EQ(readAll(path), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("settings.ini")});
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
