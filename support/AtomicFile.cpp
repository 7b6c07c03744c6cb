#include "AtomicFile.h"

#include "AppError.h"

#include <QByteArray>
#include <QFile>
#include <QDir>
#include <cerrno>
#include <climits>
#include <cstring>
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

mode_t creationMode()
{
    // umask can only be read by setting it; do that once, before any worker
    // threads write files.
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

class TempFile
{
public:
    explicit TempFile(const QByteArray &target)
    {
        const int slash = target.lastIndexOf('/');
        m_name = (slash >= 0 ? target.left(slash + 1) : QByteArray()) + ".quillmoss-XXXXXX";
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
    const QByteArray target = QFile::encodeName(path);
    struct stat old {};
    const bool existed = ::stat(target.constData(), &old) == 0;
    if (existed && S_ISDIR(old.st_mode))
        fail(path, EISDIR);

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
    ::fchmod(temp.fd(), keep ? (old.st_mode & 07777) : creationMode());
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
    QByteArray current = QFile::encodeName(path);
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(current.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return QFile::decodeName(current);
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
    const QByteArray name = QFile::encodeName(path);
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
