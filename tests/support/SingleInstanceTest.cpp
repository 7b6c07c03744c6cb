#include "SingleInstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TEST(SingleInstance, ASecondStartHandsItsFilesToTheFirst)
{
    const QString name = QStringLiteral("quillmoss-test-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    EXPECT_FALSE(SingleInstance(name).handOver({QStringLiteral("/a.jpg")}, 200));   // nobody running

    SingleInstance first(name);
    ASSERT_TRUE(first.listen());
    std::vector<QStringList> received;
    QObject::connect(&first, &SingleInstance::filesReceived, [&](const QStringList &p) { received.push_back(p); });
    // A name that is not UTF-8 keeps its odd byte (U+DC00 + byte) on the way.
    const QStringList files{QStringLiteral("/pics/a b.jpg"), QStringLiteral("/pics/\u00e9t\u00e9.gif"),
                            QStringLiteral("/pics/caf") + QChar(0xDCE9) + QStringLiteral(".gif")};
    // The hand-over blocks; the first instance answers from its event loop.
    bool handed = false;
    std::thread second([&] { handed = SingleInstance(name).handOver(files); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return !received.empty(); }, 5000));
    second.join();
    EXPECT_TRUE(handed);
    EXPECT_EQ(received, std::vector<QStringList>{files});
}

namespace {

// Runs `body` in a child process switched to the user nobody, until it writes
// one byte to its pipe to say it is ready; result() is what it wrote after.
struct Stranger
{
    pid_t pid = -1;
    int pipe[2] = {-1, -1};

    template <typename Body>
    explicit Stranger(Body body)
    {
        EXPECT_EQ(::pipe(pipe), 0);
        if ((pid = ::fork()) == 0) {
            ::close(pipe[0]);
            std::signal(SIGPIPE, SIG_IGN);   // a write to a closed socket is no failure here
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            body(pipe[1]);
            ::_exit(0);
        }
        ::close(pipe[1]);
        char ready;
        ::read(pipe[0], &ready, 1);
    }
    QByteArray result()
    {
        int status = -1;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the stranger could not become nobody";
        QFile out;
        out.open(pipe[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
        return out.readAll();
    }
};

sockaddr_un address(const QByteArray &path)
{
    sockaddr_un a {};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.constData(), sizeof a.sun_path - 1);
    return a;
}

} // namespace

// Another local user can neither receive our files (by taking the socket's
// name first) nor push files into our window, and the socket's folder is
// closed to others.
TEST(SingleInstance, OnlyTheSameUserIsTrustedOnEitherEnd)
{
    const QString name = SingleInstance::defaultName();
    ASSERT_FALSE(name.isEmpty());
    struct stat folder {};
    ASSERT_EQ(::lstat(QFile::encodeName(QFileInfo(name).path()).constData(), &folder), 0);
    EXPECT_EQ(folder.st_uid, ::getuid());
    EXPECT_EQ(folder.st_mode & 077, 0u) << qPrintable(name);

    if (::getuid() != 0)
        GTEST_SKIP() << "a second user is needed: run as root, which switches a child process to nobody";
    QTemporaryDir open;
    ::chmod(QFile::encodeName(open.path()).constData(), 0777);

    // A stranger listening where we look: we send nothing and do not end.
    const QByteArray trap = QFile::encodeName(open.filePath(QStringLiteral("trap")));
    Stranger listener([&](int out) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un a = address(trap);
        ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
        ::listen(fd, 1);
        ::write(out, "r", 1);
        const int client = ::accept(fd, nullptr, nullptr);
        ::write(client, "\x06", 1);   // claims to have taken the files
        char buffer[256];
        ::shutdown(client, SHUT_WR);
        for (ssize_t n; (n = ::read(client, buffer, sizeof buffer)) > 0;)
            ::write(out, buffer, size_t(n));
    });
    EXPECT_FALSE(SingleInstance(QFile::decodeName(trap)).handOver({QStringLiteral("/secret/plans.jpg")}, 1000));
    EXPECT_EQ(listener.result(), QByteArray());

    // A stranger sending us files: refused, not confirmed.
    const QString ours = open.filePath(QStringLiteral("ours"));
    SingleInstance instance(ours);
    ASSERT_TRUE(instance.listen());
    ::chmod(QFile::encodeName(ours).constData(), 0777);
    std::vector<QStringList> received;
    QObject::connect(&instance, &SingleInstance::filesReceived, [&](const QStringList &p) { received.push_back(p); });
    Stranger sender([&](int out) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un a = address(QFile::encodeName(ours));
        ::write(out, "r", 1);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
            ::write(out, "no connection", 13);
            return;
        }
        const timeval wait {2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        ::write(fd, "1\0/evil.jpg\0", 12);
        ::shutdown(fd, SHUT_WR);
        char c = 0;
        if (::read(fd, &c, 1) == 1)
            ::write(out, &c, 1);
    });
    QTest::qWait(1000);
    EXPECT_EQ(sender.result(), QByteArray());
    EXPECT_TRUE(received.empty());
}
