#include "clsPathER.h"

#include "AppError.h"
#include "FileNames.h"
#include "Numbers.h"

#include <limits>

namespace {

const QString kSource = QStringLiteral("Quillmoss.clsPathER");

// Length of what follows the last c in s; throws 5 when s holds no c (the
// scan runs off the start) and 6 when s is too long for the scan's counter.
qsizetype tailLength(const QString &s, QChar c)
{
    Numbers::toInt16(QString::number(s.size()));
    const qsizetype last = s.lastIndexOf(c);
    if (last < 0)
        throw AppError(AppError::InvalidCall, kSource);
    return s.size() - last - 1;
}

QString headPart(const QString &s, QChar c) { return s.left(s.size() - tailLength(s, c) - 1); }
QString tailPart(const QString &s, QChar c) { return s.right(tailLength(s, c)); }

} // namespace

QString clsPathER::GetPath() const { return headPart(m_fullPath, Separator); }
QString clsPathER::GetFilename() const { return tailPart(m_fullPath, Separator); }
QString clsPathER::GetBaseFilename() const { return headPart(GetFilename(), QLatin1Char('.')); }
QString clsPathER::GetExtension() const { return tailPart(GetFilename(), QLatin1Char('.')); }

std::int16_t clsPathER::GetPathLength() const
{
    return Numbers::toInt16(QString::number(m_fullPath.size()));
}

std::int32_t clsPathER::GetFileSize() const
{
    const FileNames::Status info = FileNames::status(m_fullPath);
    if (!info.exists || info.isDir)
        throw AppError(AppError::FileNotFound, kSource);
    if (info.size > std::numeric_limits<std::int32_t>::max())
        throw AppError(AppError::Overflow, kSource);
    return static_cast<std::int32_t>(info.size);
}

bool clsPathER::FileExists(const QString &sFullPath)
{
    return FileNames::status(sFullPath).isFile;
}

bool clsPathER::FolderExists(const QString &sFullPath)
{
    return FileNames::status(sFullPath).isDir;
}
