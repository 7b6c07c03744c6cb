#include "TestSupport.h"
#include "AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct stat statOf(const QString &path)
{
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// While it lives, every write past `bytes` fails with EFBIG, as on a full disk.
struct FileSizeLimit
{
    rlimit old {};
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);

    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
    }
};

} // namespace

TEST(AtomicFile, ReplacesWholeFilesAndCanKeepTimesAndPermissions)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out.jpg"));
    AtomicFile::write(path, "first", 5);
    EXPECT_EQ(readAll(path), "first");

    ::chmod(QFile::encodeName(path).constData(), 0640);
    const struct timespec old[2] = {{1000000000, 0}, {1000000100, 0}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old, 0);

    AtomicFile::write(path, "second!", 7, AtomicFile::Metadata::KeepExisting);
    struct stat st = statOf(path);   // before reading, which moves the access time
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000100);
    EXPECT_EQ(readAll(path), "second!");

    AtomicFile::write(path, "third", 5);
    st = statOf(path);
    EXPECT_GT(st.st_mtim.tv_sec, 1000000100);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

// A full disk, a folder in the way or a missing folder: an error, the old
// file as it was, and no temporary left.
TEST(AtomicFile, AFailedWriteLeavesTheOldFileAndNoTemporary)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("keep.jpg")), sub = dir.filePath(QStringLiteral("sub.jpg"));
    writeAll(path, "old content");
    ASSERT_TRUE(QDir().mkdir(sub));
    const std::string big(1 << 20, 'x');
    try {
        FileSizeLimit limit(4096);
        AtomicFile::write(path, big.data(), big.size());
        FAIL() << "a write past the file-size limit succeeded";
    } catch (const AppError &e) {
        EXPECT_EQ(e.number(), AppError::PathFileAccess);
        EXPECT_TRUE(e.description().contains(QStringLiteral("keep.jpg")));
    }
    EXPECT_THROW(AtomicFile::write(sub, "x", 1), AppError);
    EXPECT_THROW(AtomicFile::write(dir.filePath(QStringLiteral("none/x.jpg")), "x", 1), AppError);
    EXPECT_EQ(readAll(path), "old content");
    EXPECT_TRUE(QFileInfo(sub).isDir());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("keep.jpg")});
}

// A write killed half-way leaves its temporary; the next write into that
// folder removes it, but never the temporary of a write still running.
TEST(AtomicFile, RemovesTemporariesOfDeadWritersOnly)
{
    QTemporaryDir dir;
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const QString stale = dir.filePath(QStringLiteral(".quillmoss-%1-a1b2c3").arg(dead));
    const QString live = dir.filePath(QStringLiteral(".quillmoss-%1-d4e5f6").arg(::getppid()));
    writeAll(stale, "half a picture");
    writeAll(live, "a picture being written");
    AtomicFile::write(dir.filePath(QStringLiteral("out.jpg")), "x", 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{QFileInfo(live).fileName(), QStringLiteral("out.jpg")}));
}
