#include "TestSupport.h"
#include "modINIer.h"

#include <QCoreApplication>
#include <QStringList>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs the settings probe `program` with `args` (as the user `as`, with its
// own configuration folder, when one is given) and returns what it saw of the
// settings file: the values it read, whether its writes went through (1 or 0)
// and the suffix it reads back afterwards.
QStringList probe(const QString &program, const QStringList &args, const passwd *as = nullptr,
                  const QString &configHome = QString())
{
    QProcess p;
    if (as) {
        const uid_t uid = as->pw_uid;
        const gid_t gid = as->pw_gid;
        QDir().mkpath(configHome);
        EXPECT_EQ(::chown(QFile::encodeName(configHome).constData(), uid, gid), 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        p.setProcessEnvironment(env);
        p.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(3);
        });
    }
    p.start(program, args);
    p.waitForFinished(60000);
    EXPECT_TRUE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        << "probe exit " << p.exitCode() << ": " << p.readAllStandardError().constData();
    QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'));
    lines.removeLast();   // after the last newline
    return lines;
}

} // namespace

// Every file gets the same two writes (Main/Suffix, Form/X); whatever the
// program does not write must come back byte for byte.
TEST(Ini, WritesOnlyWhatItOwns)
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

    const passwd *nobody = ::getpwnam("nobody");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        QString file = folder.filePath(QStringLiteral("settings.ini"));   // what the writes should change
        QStringList args = {QStringLiteral("--ini"), file};
        QString program = QStringLiteral(QUILLMOSS_INI_PROBE);
        QString beside;
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
            if (::geteuid() != 0 || !nobody) {
                std::fprintf(stderr, "skipped \"%s\": needs root and the user nobody\n", c.what);
                continue;
            }
            // A program folder of root's that nobody may enter but not change.
            ::chmod(QFile::encodeName(folder.path()).constData(), 0711);
            QDir(folder.path()).mkdir(QStringLiteral("program"));
            program = folder.filePath(QStringLiteral("program/quillmoss-ini-probe"));
            ASSERT_TRUE(QFile::copy(QStringLiteral(QUILLMOSS_INI_PROBE), program));
            beside = program + QStringLiteral(".ini");
            file = folder.filePath(QStringLiteral("config/quillmoss-ini-probe/quillmoss-ini-probe.ini"));
            args.clear();
            break;
        }
        const QString source = beside.isEmpty() ? file : beside;
        if (!c.before.isNull()) {
            ASSERT_TRUE(writeAll(source, c.before));
            ::chmod(QFile::encodeName(source).constData(), c.where == ReadOnly ? 0444 : beside.isEmpty() ? 0640 : 0644);
            ::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), old, 0);
        }
        for (const QString &r : c.reads)
            args << r.section(QLatin1Char('='), 0, 0);
        const QString after = c.written ? QStringLiteral("_n\u00e9") : c.before.isNull() ? QString() : QStringLiteral("old");
        EXPECT_EQ(beside.isEmpty() ? probe(program, args) : probe(program, args, nobody, folder.filePath(QStringLiteral("config"))),
                  c.reads + QStringList({QString::number(c.written), after}));
        if (c.where == Directory) {
            EXPECT_TRUE(QFileInfo(file).isDir());
            continue;
        }
        EXPECT_EQ(readAll(file), c.after);
        if (!c.before.isNull() && beside.isEmpty()) {
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.where == ReadOnly ? 0444u : 0640u);
            // A write is news to backup tools.
            EXPECT_EQ(st.st_mtim.tv_sec > old[1].tv_sec, c.written);
        }
        if (c.where == Link) {
            EXPECT_EQ(QFileInfo(folder.filePath(QStringLiteral("settings.ini"))).symLinkTarget(), file);
        }
        // No temporaries left beside the file or its link.
        EXPECT_EQ(QDir(QFileInfo(file).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }
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
