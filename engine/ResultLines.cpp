#include "ResultLines.h"

#include "ErrorHandlers.h"


namespace ResultLines {
namespace {

QString fileName(const QString &path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }

// A written file's figures: "96 KB, 92%, 43.6 dB", or "62 KB at 1%" over the limit.
QString figures(const SquashJob::Result &result)
{
    const qint64 kb = (result.outputBytes + 512) / 1024;
    if (result.status == SquashJob::Status::Squashed)
        return QStringLiteral("%1 KB, %2%, %3 dB").arg(kb).arg(result.quality).arg(result.psnr, 0, 'f', 1);
    return QStringLiteral("%1 KB at %2%").arg(kb).arg(result.quality);
}

} // namespace

QString Verdict(const SquashCore::Result &result)
{
    if (result.outcome == SquashCore::Outcome::Success)
        return QStringLiteral("SUCCESS - File squashed to %1% JPEG quality").arg(result.quality);
    return QStringLiteral("FAILED - Unable to squash file to the specified picture and file sizes");
}

QString FitText(const FitSearch::Fit &fit)
{
    return QStringLiteral("At %1 x %2 it fits at %3% JPEG quality").arg(fit.size.width()).arg(fit.size.height()).arg(fit.quality);
}

QString FitVerdict(const FitSearch::Fit &fit)
{
    return QStringLiteral("SUCCESS - File squashed to %1% JPEG quality at %2 x %3")
        .arg(fit.quality)
        .arg(fit.size.width())
        .arg(fit.size.height());
}

QString NotSquashed() { return QStringLiteral("Picture is already within the file size limit; not squashed"); }

QString Cancelled() { return QStringLiteral("Squash cancelled: nothing was written"); }

QString LoadErrorText(const AppError &error)
{
    // The formats that are read, and the cause in brackets when one is known.
    if (error.number() != AppError::InvalidPicture)
        return error.reportText();
    const qsizetype cause = error.description().indexOf(QLatin1Char('('));
    return cause < 0 ? ErrorHandlers::invalidPictureText()
                     : ErrorHandlers::invalidPictureText() + QLatin1Char(' ') + error.description().mid(cause);
}

QString Text(const SquashJob::Result &result)
{
    using SquashJob::Status;
    switch (result.status) {
    case Status::NotSquashed: return NotSquashed();
    case Status::Cancelled: return Cancelled();
    case Status::LoadFailed: return LoadErrorText(*result.error);
    case Status::Error: return result.error->reportText();
    case Status::Squashed:
    case Status::Failed: break;
    }
    const bool success = result.status == Status::Squashed;
    SquashCore::Result core;
    core.outcome = success ? SquashCore::Outcome::Success : SquashCore::Outcome::Failed;
    core.quality = result.quality;
    QString text = result.fitWritten ? ResultLines::FitVerdict(result.fit) : ResultLines::Verdict(core);
    text += success ? QStringLiteral(" (%1 bytes, PSNR %2 dB)").arg(result.outputBytes).arg(result.psnr, 0, 'f', 1)
                    : QStringLiteral(" (%1 bytes)").arg(result.outputBytes);
    if (result.output.renamed())
        text += QStringLiteral("; not %1, which holds %2, squashed earlier in this batch")
                    .arg(fileName(result.output.plainPath), fileName(result.output.takenBy));
    if (!result.damage.isEmpty())
        text += QStringLiteral("; warning: the picture is damaged (%1), only what could be read was squashed")
                    .arg(result.damage);
    if (result.locationRemoved)
        text += QStringLiteral("; location removed");
    if (result.metadataLeftOut)
        text += QStringLiteral("; metadata left out, with it the picture does not fit");
    if (result.status == Status::Failed && result.fit.found)
        text += QLatin1Char('\n') + ResultLines::FitText(result.fit);
    return text;
}

QString Line(const SquashJob::Result &result)
{
    const bool written = result.status == SquashJob::Status::Squashed || result.status == SquashJob::Status::Failed;
    if (written)
        return QStringLiteral("%1 -> %2: %3").arg(result.input, result.output.path, Text(result));
    return result.input + QStringLiteral(": ") + Text(result);
}

QString Caption(const SquashJob::Result &result)
{
    if (result.status == SquashJob::Status::Squashed)
        return QStringLiteral("Squashed: ") + figures(result);
    if (result.status == SquashJob::Status::Failed)
        return QStringLiteral("FAILED: ") + figures(result);
    return QString();
}

QString ShortLine(const SquashJob::Result &result)
{
    using SquashJob::Status;
    const QString name = fileName(result.input) + QStringLiteral(": ");
    if (result.status != Status::Squashed && result.status != Status::Failed)
        return name + QString(Text(result)).replace(QLatin1Char('\n'), QStringLiteral(" - "));
    QString line = name + (result.status == Status::Squashed ? QStringLiteral("SUCCESS") : QStringLiteral("FAILED"));
    if (result.fitWritten)
        line += QStringLiteral(" at %1 x %2").arg(result.fit.size.width()).arg(result.fit.size.height());
    line += QStringLiteral(", ") + figures(result);
    if (result.status == Status::Failed && result.fit.found)
        // One clause, wrapped whole when a long name leaves no room for it.
        line += QStringLiteral("; fits\u00a0at\u00a0%1\u00a0x\u00a0%2\u00a0at\u00a0%3%")
                    .arg(result.fit.size.width())
                    .arg(result.fit.size.height())
                    .arg(result.fit.quality);
    if (result.output.renamed())
        line += QStringLiteral("; written as ") + fileName(result.output.path);
    if (!result.damage.isEmpty())
        line += QStringLiteral("; the picture is damaged");
    return line;
}

} // namespace ResultLines
