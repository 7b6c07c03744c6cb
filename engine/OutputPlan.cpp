#include "OutputPlan.h"

#include "AppError.h"
#include "FileNames.h"
#include "clsPathER.h"

namespace {

const QString kSource = QStringLiteral("Quillmoss.OutputPlan");

struct Parts
{
    QString folder, base, extension;
};

Parts split(const QString &inputPath, const QString &destFolder)
{
    clsPathER path;
    path.SetFullPath(inputPath);
    Parts p;
    try {
        p.base = path.GetBaseFilename();
        p.extension = path.GetFilename().mid(p.base.size() + 1);
    } catch (const AppError &e) {
        if (e.number() != AppError::InvalidCall)
            throw;
        p.base = path.GetFilename();   // a name without a dot is all base name
    }
    p.folder = destFolder.isEmpty() ? path.GetPath() : destFolder;
    return p;
}

} // namespace

void OutputPlan::CheckSuffix(const QString &suffix)
{
    if (suffix.size() > MaxSuffixLength)
        throw AppError(AppError::InvalidCall, kSource,
                       QStringLiteral("The suffix \"%1\" takes at most %2 characters").arg(suffix).arg(MaxSuffixLength));
    if (suffix.contains(clsPathER::Separator))
        throw AppError(AppError::InvalidCall, kSource,
                       QStringLiteral("The suffix \"%1\" may not contain \"%2\"").arg(suffix).arg(clsPathER::Separator));
}

QString OutputPlan::PathFor(const QString &inputPath, const QString &suffix, const QString &destFolder)
{
    CheckSuffix(suffix);
    const Parts p = split(inputPath, destFolder);
    return p.folder + clsPathER::Separator + p.base + suffix + QStringLiteral(".jpg");
}

OutputPlan::OutputPlan(const QString &suffix, const QString &destFolder) : m_suffix(suffix), m_destFolder(destFolder)
{
    CheckSuffix(suffix);
}

OutputPlan::Name OutputPlan::Claim(const QString &inputPath)
{
    const Parts p = split(inputPath, m_destFolder);
    const QString start = p.folder + clsPathER::Separator + p.base;
    const QString end = m_suffix + QStringLiteral(".jpg");
    QMutexLocker lock(&m_mutex);
    Name name;
    name.path = start + end;
    const auto taken = [&](const QString &path) { return m_claimed.contains(FileNames::absolutePath(path)); };
    if (taken(name.path)) {
        name.takenBy = m_claimed.value(FileNames::absolutePath(name.path));
        name.plainPath = name.path;
        // The input's own extension tells the two apart; a counter when even
        // that is taken (a third input, or one without an extension).
        const QString tag = p.extension.isEmpty() ? QString() : QLatin1Char('_') + p.extension;
        name.path = start + tag + end;
        for (int n = 2; taken(name.path); ++n)
            name.path = start + tag + QLatin1Char('_') + QString::number(n) + end;
    }
    m_claimed.insert(FileNames::absolutePath(name.path), inputPath);
    return name;
}
