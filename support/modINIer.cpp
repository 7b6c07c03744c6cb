#include "modINIer.h"

#include "AppError.h"
#include "AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace modINIer {
namespace {

QString g_overridePath;

const QString kSource = QStringLiteral("Quillmoss.modINIer");

// The file is kept as bytes: lines the program does not write go back
// exactly as they came, whatever their encoding, BOM or line ends.
struct Line
{
    QByteArray text;   // without its line end
    QByteArray end;    // "\n", "\r\n", or nothing on an unfinished last line
};

struct Lines
{
    QByteArray bom;
    QList<Line> lines;
    QByteArray eol = "\n";   // for lines the program adds
};

Lines load(const QString &path)
{
    Lines f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return f;   // a missing or unreadable file reads as empty
    const QByteArray data = file.readAll();
    qsizetype at = 0;
    if (data.startsWith("\xef\xbb\xbf")) {
        f.bom = data.left(3);
        at = 3;
    }
    if (data.contains("\r\n"))
        f.eol = "\r\n";
    while (at < data.size()) {
        const qsizetype nl = data.indexOf('\n', at);
        const qsizetype stop = nl < 0 ? data.size() : nl + 1;
        qsizetype textEnd = nl < 0 ? data.size() : nl;
        if (nl >= 0 && textEnd > at && data[textEnd - 1] == '\r')
            --textEnd;
        f.lines.append({data.mid(at, textEnd - at), data.mid(textEnd, stop - textEnd)});
        at = stop;
    }
    return f;
}

// Text the user wrote in any editor: UTF-8 when it is valid UTF-8, else
// Latin-1, which takes any byte.
QString decode(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

// "[name]", which may be followed by a comment, gives true and the name.
bool isSection(const QByteArray &line, QString *name = nullptr)
{
    const QByteArray t = line.trimmed();
    const qsizetype close = t.indexOf(']');
    if (!t.startsWith('[') || close < 0)
        return false;
    const QByteArray rest = t.mid(close + 1).trimmed();
    if (!rest.isEmpty() && !rest.startsWith(';') && !rest.startsWith('#'))
        return false;
    if (name)
        *name = decode(t.mid(1, close - 1).trimmed());
    return true;
}

bool isComment(const QByteArray &line)
{
    const QByteArray t = line.trimmed();
    return t.startsWith(';') || t.startsWith('#');
}

bool keyIs(const QByteArray &line, const QString &key)
{
    if (isComment(line))
        return false;
    const qsizetype eq = line.indexOf('=');
    return eq >= 0 && decode(line.left(eq).trimmed()).compare(key.trimmed(), Qt::CaseInsensitive) == 0;
}

bool sectionIs(const QByteArray &line, const QString &section)
{
    QString name;
    return isSection(line, &name) && name.compare(section.trimmed(), Qt::CaseInsensitive) == 0;
}

// Where the settings are read from and written to, and, for a user's own
// file not made yet, the file it starts as a copy of.
struct Place
{
    QString path;
    QString seed;
    bool own = false;   // the user's file, whose folder may not exist yet
};

bool ownedByThisUser(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid == ::geteuid();
}

Place place()
{
    if (!g_overridePath.isEmpty())
        return {g_overridePath, QString(), false};
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + QStringLiteral(".ini");
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    // The file beside the program is used when this user can replace it, or
    // when it is this user's own (read-only then means: keep it as it is).
    // One left by another user, or a folder nobody may write, sends the
    // settings to the user's own file, which starts as a copy of it.
    const QString target = AtomicFile::linkTarget(beside);
    const bool there = QFileInfo::exists(target);
    if (AtomicFile::canReplace(target) || (there && ownedByThisUser(target)))
        return {beside, QString(), false};
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString own = config + QLatin1Char('/') + name;
    return {own, QFileInfo::exists(own) || !there ? QString() : beside, true};
}

// Replaces the key's line in place, or adds it at the end of its section,
// or adds the section at the end of the file.
void set(Lines &f, const IniValue &v)
{
    const Line entry{v.key.toUtf8() + '=' + v.value.toUtf8(), f.eol};

    qsizetype sectionLine = -1, keyLine = -1, lastEntry = -1;
    for (qsizetype i = 0; i < f.lines.size(); ++i) {
        const QByteArray &line = f.lines[i].text;
        if (isSection(line)) {
            if (sectionLine >= 0)
                break;   // the section ended
            if (sectionIs(line, v.section))
                sectionLine = lastEntry = i;
            continue;
        }
        if (sectionLine < 0)
            continue;
        if (!line.trimmed().isEmpty())
            lastEntry = i;
        if (keyIs(line, v.key)) {
            keyLine = i;
            break;
        }
    }
    const auto finishLine = [&f](qsizetype i) {
        if (i >= 0 && f.lines[i].end.isEmpty())
            f.lines[i].end = f.eol;
    };
    if (keyLine >= 0) {
        f.lines[keyLine].text = entry.text;
    } else if (sectionLine >= 0) {
        finishLine(lastEntry);
        f.lines.insert(lastEntry + 1, entry);
    } else {
        finishLine(f.lines.size() - 1);
        f.lines << Line{'[' + v.section.toUtf8() + ']', f.eol} << entry;
    }
}

} // namespace

QString IniPath() { return place().path; }

void SetIniPath(const QString &path) { g_overridePath = path; }

QString ReadIniValue(const QString &section, const QString &key)
{
    const Place at = place();
    const Lines f = load(at.seed.isEmpty() ? at.path : at.seed);
    bool inSection = false;
    for (const Line &line : f.lines) {
        if (isSection(line.text)) {
            inSection = sectionIs(line.text, section);
            continue;
        }
        if (!inSection || !keyIs(line.text, key))
            continue;
        QString value = decode(line.text.mid(line.text.indexOf('=') + 1).trimmed());
        if (value.size() >= 2 && value.front() == QLatin1Char('"') && value.back() == QLatin1Char('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

void WriteIniValue(const QString &section, const QString &key, const QString &value)
{
    WriteIniValues({{section, key, value}});
}

void WriteIniValues(const QList<IniValue> &values)
{
    for (const IniValue &v : values)
        if (v.value.contains(QLatin1Char('\n')) || v.value.contains(QLatin1Char('\r')) || v.key.contains(QLatin1Char('=')))
            throw AppError(AppError::InvalidCall, kSource);
    const Place at = place();
    // Through a link the file it points at is replaced, and the link stays.
    const QString path = AtomicFile::linkTarget(at.path);
    if (path.isEmpty())
        throw AppError(AppError::PathFileAccess, kSource, QStringLiteral("Too many links: %1").arg(at.path));
    // A file that cannot be read must not be replaced by one holding only
    // these keys; one its owner made read-only is left alone.
    if (QFileInfo::exists(path) && (!QFileInfo(path).isReadable() || !AtomicFile::canReplace(path)))
        throw AppError(AppError::PermissionDenied, kSource, QStringLiteral("Permission denied: %1").arg(path));
    Lines f = load(at.seed.isEmpty() ? path : at.seed);
    for (const IniValue &v : values)
        set(f, v);

    QByteArray data = f.bom;
    for (const Line &line : f.lines)
        data += line.text + line.end;
    if (at.own)
        QDir().mkpath(QFileInfo(path).absolutePath());
    AtomicFile::write(path, data.constData(), std::size_t(data.size()), AtomicFile::Metadata::KeepPermissions);
}

} // namespace modINIer
