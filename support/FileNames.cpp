#include "FileNames.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QUrl>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileNames {
namespace {

constexpr char16_t EscapeBase = 0xDC00;   // byte b >= 0x80 becomes U+DC00 + b

bool isEscape(QStringView s, qsizetype i)
{
    const char16_t c = s[i].unicode();
    // The low half of a surrogate pair is a character, not an escape.
    return c >= 0xDC80 && c <= 0xDCFF && !(i > 0 && s[i - 1].isHighSurrogate());
}

// Length of the valid UTF-8 sequence that starts at p[i] (n bytes in all),
// 0 when there is none: no overlong forms, no surrogates, nothing past U+10FFFF.
int sequenceLength(const uchar *p, qsizetype i, qsizetype n)
{
    const uchar b = p[i];
    int length = 0;
    uchar low = 0x80, high = 0xBF;   // the range of the second byte
    if (b < 0x80)
        return 1;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (n - i < length || p[i + 1] < low || p[i + 1] > high)
        return 0;
    for (int k = 2; k < length; ++k)
        if (p[i + k] < 0x80 || p[i + k] > 0xBF)
            return 0;
    return length;
}

// Valid UTF-8 as it is: unlike QString::fromUtf8, a leading BOM is kept,
// since it is part of the name.
QString fromValidUtf8(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return utf8(bytes);
}

} // namespace

QString decode(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype n = bytes.size();
    QString out;
    out.reserve(n);
    qsizetype start = 0;   // of the valid run not yet decoded
    for (qsizetype i = 0; i < n;) {
        const int length = sequenceLength(p, i, n);
        if (length > 0) {
            i += length;
            continue;
        }
        out += fromValidUtf8(bytes.sliced(start, i - start));
        out += QChar(char16_t(EscapeBase + p[i]));
        start = ++i;
    }
    out += fromValidUtf8(bytes.sliced(start));
    return out;
}

QByteArray encode(QStringView name)
{
    QByteArray out;
    qsizetype start = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!isEscape(name, i))
            continue;
        out += name.sliced(start, i - start).toUtf8();
        out += char(name[i].unicode() - EscapeBase);
        start = i + 1;
    }
    out += name.sliced(start).toUtf8();
    return out;
}

Status status(const QString &path)
{
    struct stat st {};
    if (path.isEmpty() || ::stat(encode(path).constData(), &st) != 0)
        return {};
    return {true, S_ISREG(st.st_mode), S_ISDIR(st.st_mode), qint64(st.st_size)};
}

bool openForReading(QFile &file, const QString &path)
{
    const int fd = ::open(encode(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return true;
    ::close(fd);
    return false;
}

QString absolutePath(const QString &path)
{
    if (QDir::isAbsolutePath(path))
        return QDir::cleanPath(path);
    QByteArray here(PATH_MAX, '\0');
    const QString folder = ::getcwd(here.data(), size_t(here.size())) ? decode(here.constData()) : QDir::currentPath();
    return QDir::cleanPath(folder + QLatin1Char('/') + path);
}

QString canonicalPath(const QString &path)
{
    char resolved[PATH_MAX];
    return !path.isEmpty() && ::realpath(encode(path).constData(), resolved) ? decode(resolved) : QString();
}

QString fromUrl(const QUrl &url)
{
    if (!url.isLocalFile())
        return {};
    // A file on another host (file://host/x) is what toLocalFile gives too.
    const QString host = url.host();
    const QString path = decode(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
    return host.isEmpty() ? path : QStringLiteral("//") + host + path;
}

QUrl toUrl(const QString &path)
{
    return QUrl::fromEncoded("file://" + encode(path).toPercentEncoding("/"), QUrl::StrictMode);
}

} // namespace FileNames
