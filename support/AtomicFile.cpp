#include "AtomicFile.h"

#include "AppError.h"
#include "FileNames.h"

#include <QByteArray>
#include <QDir>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <set>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {
namespace {

const QString kSource = QStringLiteral("Quillmoss.AtomicFile");

[[noreturn]] void fail(const QString &path, int err)
{
    const int number = (err == EACCES || err == EPERM || err == EROFS) ? AppError::PermissionDenied
                                                                        : AppError::PathFileAccess;
    throw AppError(number, kSource,
                   QStringLiteral("%1 (%2: %3)")
                       .arg(AppError::standardDescription(number), QDir::toNativeSeparators(path),
                            QString::fromLocal8Bit(std::strerror(err))));
}

// umask can only be read by setting it, which is not thread-safe: read it
// once while the program starts, before any worker writes a file.
const mode_t kCreationMode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}();

// Temporaries carry the writer's process id, so that those left by a killed
// run can be told from those of a write still under way.
const QByteArray kTempPrefix = QByteArrayLiteral(".quillmoss-");

QByteArray folderOf(const QByteArray &target)
{
    const int slash = target.lastIndexOf('/');
    return slash >= 0 ? target.left(slash + 1) : QByteArray();
}

// Removes this user's temporaries whose writing process is gone, once per
// folder and run.
void removeStaleTemporaries(const QByteArray &folder)
{
    static std::mutex mutex;
    static std::set<QByteArray> cleaned;
    {
        std::lock_guard lock(mutex);
        if (!cleaned.insert(folder).second)
            return;
    }
    DIR *dir = ::opendir(folder.isEmpty() ? "." : folder.constData());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(kTempPrefix))
            continue;
        bool isNumber = false;
        const pid_t pid = pid_t(name.mid(kTempPrefix.size()).split('-').value(0).toLong(&isNumber));
        if (!isNumber || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        struct stat st {};
        const QByteArray path = folder + name;
        if (::lstat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid())
            ::unlink(path.constData());
    }
    ::closedir(dir);
}

class TempFile
{
public:
    explicit TempFile(const QByteArray &target)
    {
        m_name = folderOf(target) + kTempPrefix + QByteArray::number(::getpid()) + "-XXXXXX";
        m_fd = ::mkstemp(m_name.data());
    }
    ~TempFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept)
            ::unlink(m_name.constData());
    }
    int fd() const { return m_fd; }
    const QByteArray &name() const { return m_name; }
    bool close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }
    void keep() { m_kept = true; }

private:
    QByteArray m_name;
    int m_fd = -1;
    bool m_kept = false;
};

} // namespace

void write(const QString &path, const void *data, std::size_t size, Metadata metadata)
{
    const QByteArray target = FileNames::encode(path);
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode))
        fail(path, EISDIR);

    removeStaleTemporaries(folderOf(target));
    TempFile temp(target);
    if (temp.fd() < 0)
        fail(path, errno);

    const char *p = static_cast<const char *>(data);
    std::size_t left = size;
    while (left > 0) {
        const ssize_t n = ::write(temp.fd(), p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(path, errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }

    const bool keep = existed && metadata != Metadata::Fresh;
    if (keep && ::fchown(temp.fd(), old.st_uid, old.st_gid) != 0) {
        // Only root can give the file back to its owner; anyone else owns it already.
    }
    ::fchmod(temp.fd(), keep ? (old.st_mode & 07777) : kCreationMode);
    if (keep && metadata == Metadata::KeepExisting) {
        const struct timespec times[2] = {old.st_atim, old.st_mtim};
        ::futimens(temp.fd(), times);
    }
    if (::fsync(temp.fd()) != 0)
        fail(path, errno);
    if (!temp.close())
        fail(path, errno);
    if (::rename(temp.name().constData(), target.constData()) != 0)
        fail(path, errno);
    temp.keep();
}

QString linkTarget(const QString &path)
{
    QByteArray current = FileNames::encode(path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return FileNames::decode(current);
        QByteArray target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(current.constData(), target.data(), size_t(target.size()));
        if (n <= 0)
            return QString();
        target.truncate(n);
        const int slash = current.lastIndexOf('/');
        current = target.startsWith('/') || slash < 0 ? target : current.left(slash + 1) + target;
    }
    return QString();
}

bool canReplace(const QString &path)
{
    const QByteArray name = FileNames::encode(path);
    const int slash = name.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : name.left(slash);
    if (::access(folder.constData(), W_OK | X_OK) != 0)
        return false;
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return errno == ENOENT;
    return S_ISREG(st.st_mode) && (st.st_mode & 0222) && ::access(name.constData(), W_OK) == 0;
}

} // namespace AtomicFile
