#include "modINIer.h"

#include "AppError.h"
#include "AtomicFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace modINIer {
namespace {

QString g_overridePath;

const QString kSource = QStringLiteral("Quillmoss.modINIer");

struct Lines
{
    QStringList lines;        // without their line ends
    QString eol = QStringLiteral("\n");
    bool endsWithEol = true;
};

Lines load(const QString &path)
{
    Lines f;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return f;   // a missing or unreadable file reads as empty
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (text.contains(QLatin1String("\r\n")))
        f.eol = QStringLiteral("\r\n");
    f.endsWithEol = text.isEmpty() || text.endsWith(QLatin1Char('\n'));
    f.lines = text.split(QLatin1Char('\n'));
    if (f.endsWithEol)
        f.lines.removeLast();
    for (QString &line : f.lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    return f;
}

// "[name]" gives name; anything else an empty text.
QString sectionOf(const QString &line)
{
    const QString t = line.trimmed();
    if (t.size() >= 2 && t.front() == QLatin1Char('[') && t.back() == QLatin1Char(']'))
        return t.mid(1, t.size() - 2).trimmed();
    return QString();
}

bool isSection(const QString &line)
{
    const QString t = line.trimmed();
    return t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']'));
}

bool isComment(const QString &line)
{
    const QString t = line.trimmed();
    return t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'));
}

bool keyIs(const QString &line, const QString &key)
{
    if (isComment(line))
        return false;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    return eq >= 0 && line.left(eq).trimmed().compare(key.trimmed(), Qt::CaseInsensitive) == 0;
}

bool sectionIs(const QString &line, const QString &section)
{
    return isSection(line) && sectionOf(line).compare(section.trimmed(), Qt::CaseInsensitive) == 0;
}

} // namespace

QString IniPath()
{
    if (!g_overridePath.isEmpty())
        return g_overridePath;
    const QString folder = QCoreApplication::applicationDirPath();
    const QString name = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + QStringLiteral(".ini");
    const QString beside = folder + QLatin1Char('/') + name;
    if (QFileInfo::exists(beside) || QFileInfo(folder).isWritable())
        return beside;
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(config);
    return config + QLatin1Char('/') + name;
}

void SetIniPath(const QString &path) { g_overridePath = path; }

QString ReadIniValue(const QString &section, const QString &key)
{
    const Lines f = load(IniPath());
    bool inSection = false;
    for (const QString &line : f.lines) {
        if (isSection(line)) {
            inSection = sectionIs(line, section);
            continue;
        }
        if (!inSection || !keyIs(line, key))
            continue;
        QString value = line.mid(line.indexOf(QLatin1Char('=')) + 1).trimmed();
        if (value.size() >= 2 && value.front() == QLatin1Char('"') && value.back() == QLatin1Char('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QString();
}

void WriteIniValue(const QString &section, const QString &key, const QString &value)
{
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')) || key.contains(QLatin1Char('=')))
        throw AppError(AppError::InvalidCall, kSource);
    const QString path = IniPath();
    // A file that is there but cannot be read must not be replaced by one
    // holding only this key.
    if (QFileInfo::exists(path) && !QFileInfo(path).isReadable())
        throw AppError(AppError::PermissionDenied, kSource, QStringLiteral("Permission denied: %1").arg(path));
    Lines f = load(path);
    const QString entry = key + QLatin1Char('=') + value;

    qsizetype sectionLine = -1, keyLine = -1, lastEntry = -1;
    for (qsizetype i = 0; i < f.lines.size(); ++i) {
        const QString &line = f.lines[i];
        if (isSection(line)) {
            if (sectionLine >= 0)
                break;   // the section ended
            if (sectionIs(line, section))
                sectionLine = lastEntry = i;
            continue;
        }
        if (sectionLine < 0)
            continue;
        if (!line.trimmed().isEmpty())
            lastEntry = i;
        if (keyIs(line, key)) {
            keyLine = i;
            break;
        }
    }
    if (keyLine >= 0) {
        f.lines[keyLine] = entry;
    } else if (sectionLine >= 0) {
        f.lines.insert(lastEntry + 1, entry);
    } else {
        f.lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
    }

    QByteArray data = f.lines.join(f.eol).toUtf8();
    data += f.eol.toUtf8();
    AtomicFile::write(path, data.constData(), std::size_t(data.size()), AtomicFile::Metadata::KeepExisting);
}

} // namespace modINIer
