// quillmoss-squash: the squash of the window, from a terminal.

#include "AppError.h"
#include "ErrorHandlers.h"
#include "FileNames.h"
#include "FitSearch.h"
#include "MemoryBudget.h"
#include "Numbers.h"
#include "Picture.h"
#include "SquashCore.h"
#include "SquashTargets.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {

enum Exit { AllSquashed = 0, SomeFailed = 1, Usage = 2 };

// Names reach the terminal as the bytes they have on disk.
void printErr(const QString &text) { std::fprintf(stderr, "%s\n", FileNames::encode(text).constData()); }

using SquashTargets::Checked;
using SquashTargets::LimitChoice;
using SquashTargets::SizeChoice;

// --max-size: none | 50KB | 100KB | 250KB | BYTES | P%. Throws AppError for
// a number that is not one as a whole.
Checked<LimitChoice> parseMaxSize(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none"))
        return {};
    for (std::size_t i = 0; i < SquashTargets::BytePresets.size(); ++i)
        if (t == QString::fromLatin1(SquashTargets::BytePresets[i].keyword).toLower())
            return {SquashTargets::BytePresetChoice(i), std::nullopt};
    for (std::size_t i = 0; i < SquashTargets::PercentPresets.size(); ++i)
        if (t == QString::number(SquashTargets::PercentPresets[i]) + QLatin1Char('%'))
            return {SquashTargets::FractionChoice(i), std::nullopt};
    if (t.endsWith(QLatin1Char('%')))
        return SquashTargets::UserPercent(t.chopped(1));
    return SquashTargets::UserBytes(t);
}

// --size: none | 640x480 | 800x600 | WxH | P% | PW%xPH%
std::optional<Checked<SizeChoice>> parseSize(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none"))
        return Checked<SizeChoice>{};
    for (std::size_t i = 0; i < SquashTargets::SizePresets.size(); ++i)
        if (t == QLatin1String(SquashTargets::SizePresets[i].keyword))
            return Checked<SizeChoice>{SquashTargets::SizePresetChoice(i), std::nullopt};
    for (std::size_t i = 0; i < SquashTargets::PercentPresets.size(); ++i)
        if (t == QString::number(SquashTargets::PercentPresets[i]) + QLatin1Char('%'))
            return Checked<SizeChoice>{SquashTargets::FractionSizeChoice(i), std::nullopt};
    static const QRegularExpression percentPair(QStringLiteral("^([^x%]*)%x([^x%]*)%$"));
    static const QRegularExpression pixels(QStringLiteral("^([^x%]*)x([^x%]*)$"));
    if (const auto m = percentPair.match(t); m.hasMatch()) return SquashTargets::UserPercentSize(m.captured(1), m.captured(2));
    if (t.endsWith(QLatin1Char('%')) && !t.contains(QLatin1Char('x'))) return SquashTargets::UserPercentSize(t.chopped(1), t.chopped(1));
    if (const auto m = pixels.match(t); m.hasMatch()) return SquashTargets::UserPixels(m.captured(1), m.captured(2));
    return std::nullopt;
}

bool askYes(const QString &file)
{
    std::fprintf(stderr, "%s: Picture is already within the file size limit.\nDo you want to continue on resizing the picture? [y/N] ",
                 FileNames::encode(file).constData());
    std::fflush(stderr);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return false;
    return line[0] == 'y' || line[0] == 'Y';
}

// Whether the file looks like a picture, before asking about it.
bool loadable(const QString &path)
{
    QFile file;
    if (!FileNames::openForReading(file, path))
        return false;
    QImageReader reader(&file);
    reader.setDecideFormatFromContent(true);
    return reader.canRead();
}

// A load failure, naming its cause when the loader knows one.
QString loadErrorText(const AppError &e)
{
    if (e.number() == 481 && !e.description().contains(QLatin1Char('(')))
        return ErrorHandlers::invalidPictureText();
    return e.reportText();
}

struct Job
{
    QString input;      // as given
    QString path;       // with a folder, so that the output has one
    QString output;     // jobs with the same output run in input order
    std::size_t after = SIZE_MAX;   // the earlier job with the same output
    QFuture<void> finished;         // the squash, once it is started
    std::int32_t limit = 0;
    bool continueAnyway = false;
    QString line;       // the result line, once done
    bool ok = false;
    bool error = false; // the line goes to standard error
};

} // namespace

int main(int argc, char *argv[])
{
    // The encoder's whole-picture coefficients come and go with every try,
    // as do the picture and its copies: kept in one heap, freed blocks are
    // reused as they are instead of being mapped and faulted in afresh, a
    // page fault per 4 KiB. A short-lived process loses nothing by it.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    QCoreApplication app(argc, argv);
    // A broken picture gets our one clear line, not the decoder's warnings.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
    QCoreApplication::setApplicationName(QStringLiteral("quillmoss-squash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(QUILLMOSS_VERSION)));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Squashes pictures (JPEG, GIF, BMP, PNG, WebP, TIFF, HEIC) into NAME_squashed.jpg beside each input: scaled once, then\n"
        "encoded at the highest JPEG quality (100 down to 1) whose file fits the limit. KB is 1024 bytes."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption maxSize(QStringLiteral("max-size"),
        QStringLiteral("Largest output file: none (the input's length less one byte), 50KB, 100KB, 250KB, "
                       "a byte count, or a percentage of the input's length such as 50%."), QStringLiteral("LIMIT"),
        QStringLiteral("none"));
    const QCommandLineOption size(QStringLiteral("size"),
        QStringLiteral("Picture size: none, 640x480, 800x600, WxH pixels, P% or PW%xPH% of the picture's size."),
        QStringLiteral("SIZE"), QStringLiteral("none"));
    const QCommandLineOption suffix(QStringLiteral("suffix"),
        QStringLiteral("Put between the base name and .jpg (at most 10 characters)."), QStringLiteral("TEXT"),
        QStringLiteral("_squashed"));
    const QCommandLineOption dest(QStringLiteral("dest"), QStringLiteral("Write into DIR instead of beside each input."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption quality(QStringLiteral("quality"),
        QStringLiteral("No search: encode once at quality Q (1 to 100)."), QStringLiteral("Q"));
    const QCommandLineOption yes(QStringLiteral("yes"),
        QStringLiteral("Squash a JPEG that already fits the limit anyway (one try at quality 100)."));
    const QCommandLineOption fit(QStringLiteral("fit"),
        QStringLiteral("When the limit cannot be met, write the largest smaller size of the same proportions that fits "
                       "at --min-quality or better."));
    const QCommandLineOption minQuality(QStringLiteral("min-quality"),
        QStringLiteral("The lowest quality \"what would fit\" accepts (1 to 100)."), QStringLiteral("Q"),
        QString::number(FitSearch::DefaultMinQuality));
    parser.addOptions({maxSize, size, suffix, dest, quality, yes, fit, minQuality});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Pictures to squash."), QStringLiteral("FILE..."));
    // Qt would read the arguments as UTF-8, making other bytes U+FFFD.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << FileNames::decode(argv[i]);
    if (!parser.parse(arguments)) {
        printErr(parser.errorText());
        return Usage;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return AllSquashed;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("quillmoss-squash %s\n", qPrintable(QCoreApplication::applicationVersion()));
        return AllSquashed;
    }

    const QStringList files = parser.positionalArguments();
    const QString suffixText = parser.value(suffix);
    int fixedQuality = 0;
    if (files.isEmpty()) {
        printErr(QStringLiteral("quillmoss-squash: no FILE given (try --help)"));
        return Usage;
    }
    // The checks of the window's boxes, before any file is touched.
    LimitChoice limitChoice;
    SizeChoice sizeChoice;
    try {
        const auto l = [&] {
            try {
                return parseMaxSize(parser.value(maxSize));
            } catch (const AppError &e) {
                if (e.number() != AppError::TypeMismatch)
                    throw;
                throw AppError(e.number(), e.source(),
                               QStringLiteral("--max-size must be none, 50KB, 100KB, 250KB, a byte count or a "
                                              "percentage such as 50%"));
            }
        }();
        const auto t = parseSize(parser.value(size));
        if (!t) {
            printErr(QStringLiteral("quillmoss-squash: --size must be none, 640x480, 800x600, WxH, P% or PW%xPH%"));
            return Usage;
        }
        if (l.refusal || t->refusal) {
            const auto &r = l.refusal ? *l.refusal : *t->refusal;
            printErr(r.title + QStringLiteral(": ") + r.text);
            return Usage;
        }
        limitChoice = l.choice;
        sizeChoice = t->choice;
    } catch (const AppError &e) {
        printErr(QStringLiteral("quillmoss-squash: ") + e.reportText());
        return Usage;
    }
    if (suffixText.size() > 10) {
        printErr(QStringLiteral("quillmoss-squash: --suffix takes at most 10 characters"));
        return Usage;
    }
    // "dd/" gives dd/name, not dd//name.
    const QString destFolder = parser.isSet(dest) ? QDir::cleanPath(parser.value(dest)) : QString();
    if (parser.isSet(dest) && !FileNames::status(parser.value(dest)).isDir) {
        printErr(QStringLiteral("quillmoss-squash: --dest %1 is not a folder").arg(parser.value(dest)));
        return Usage;
    }
    if (parser.isSet(quality)) {
        bool ok = false;
        fixedQuality = parser.value(quality).toInt(&ok);
        if (!ok || fixedQuality < 1 || fixedQuality > 100) {
            printErr(QStringLiteral("quillmoss-squash: --quality must be a whole number from 1 to 100"));
            return Usage;
        }
    }

    bool minQualityOk = false;
    const int fitFloor = parser.value(minQuality).toInt(&minQualityOk);
    if (!minQualityOk || fitFloor < 1 || fitFloor > 100) {
        printErr(QStringLiteral("quillmoss-squash: --min-quality must be a whole number from 1 to 100"));
        return Usage;
    }

    try {
        SquashCore::OutputPath(QStringLiteral("./x.bmp"), suffixText);
    } catch (const AppError &e) {
        printErr(QStringLiteral("quillmoss-squash: --suffix: ") + e.description());
        return Usage;
    }

    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    const bool showProgress = ::isatty(STDERR_FILENO);
    std::vector<Job> jobs(std::size_t(files.size()));
    std::mutex mutex;      // standard error's progress line and the y/N question
    bool asking = false;   // no progress line over the y/N question
    std::atomic<int> finished = 0;
    // Two pictures at a time: one decodes while the other searches.
    QThreadPool pool;
    pool.setMaxThreadCount(files.size() > 1 ? 2 : 1);
    const int threadsPerSquash = files.size() > 1 ? 1 : 2;

    const auto progressLine = [&](const QString &file, int q) {
        if (!showProgress)
            return;
        std::lock_guard lock(mutex);
        if (asking)
            return;
        std::fprintf(stderr, "\r\033[K[%d/%lld] %s: q%d", finished.load(), (long long)files.size(),
                     FileNames::encode(file.mid(file.lastIndexOf(QLatin1Char('/')) + 1)).constData(), q);
        std::fflush(stderr);
    };

    const auto run = [&](Job &job) {
        QImage picture;
        SquashCore::Request request;
        MemoryBudget::Reservation budget;
        QSize minSize;
        try {
            // The target comes from the header, so that the whole squash's
            // memory is reserved before anything is allocated. The picture is
            // decoded whole, as the window does, so that both write the same
            // file; only a JPEG too large to hold whole is decoded straight at
            // a DCT scale that still covers the target.
            const QSize full = Picture::PictureSize(job.path);
            SquashTargets::Target target{job.limit, 0, 0};
            SquashTargets::SizeFor(sizeChoice, float(full.width()), float(full.height()), target.width, target.height);
            const QSize wanted(int(Numbers::roundHalfEven(target.width)), int(Numbers::roundHalfEven(target.height)));
            const bool scaled = wanted.width() > 0 && wanted.height() > 0 && wanted != full;
            try {
                budget = Picture::ReserveSquash(full, scaled ? wanted : full);
            } catch (const AppError &e) {
                const QSize decoded = scaled ? Picture::PictureSize(job.path, wanted) : full;
                if (e.number() != AppError::OutOfMemory || decoded == full)
                    throw;
                budget = Picture::ReserveSquash(decoded, wanted);
                minSize = wanted;
            }
            picture = Picture::LoadPicture(job.path, {}, minSize);
            if (!scaled)
                target.width = target.height = 0;
            SquashCore::Aim(request, target);
        } catch (...) {
            job.line = job.input + QStringLiteral(": ")
                     + loadErrorText(ErrorHandlers::asAppError(std::current_exception()));
            job.error = true;
            return;
        }
        try {
            request.inputPath = job.path;
            request.suffix = suffixText;
            request.destFolder = destFolder;
            request.continueAnyway = job.continueAnyway;
            request.fixedQuality = fixedQuality;
            request.threads = threadsPerSquash;
            const auto progress = [&](int q) {
                progressLine(job.input, q);
                return true;
            };
            // The squash alone holds the picture, so that it is let go as
            // soon as the 24-bit image exists.
            SquashCore::Request first = request;
            first.picture = std::move(picture);
            auto result = SquashCore::Squash(std::move(first), progress);
            QString text = SquashCore::ResultText(result), fitLine;
            if (result.outcome == SquashCore::Outcome::Failed) {
                // What would fit needs the picture the squash let go.
                request.picture = Picture::LoadPicture(job.path, {}, minSize);
                request.minQuality = fitFloor;
                const FitSearch::Fit found = FitSearch::WhatWouldFit(request, progress);
                if (found.found && parser.isSet(fit)) {
                    // The same encode the search measured, now written over the quality-1 file.
                    request.newWidth = float(found.size.width());
                    request.newHeight = float(found.size.height());
                    request.fixedQuality = found.quality;
                    result = SquashCore::Squash(request, progress);
                    text = FitSearch::FitResultText(found);
                } else if (found.found) {
                    fitLine = QLatin1Char('\n') + FitSearch::FitText(found);
                }
            }
            job.ok = result.outcome == SquashCore::Outcome::Success;
            const QString figures = job.ok ? QStringLiteral("%1 bytes, PSNR %2 dB").arg(result.outputBytes).arg(result.psnr, 0, 'f', 1)
                                           : QStringLiteral("%1 bytes").arg(result.outputBytes);
            job.line = QStringLiteral("%1 -> %2: %3 (%4)%5").arg(job.input, result.outputPath, text, figures, fitLine);
        } catch (...) {
            job.line = job.input + QStringLiteral(": ") + ErrorHandlers::asAppError(std::current_exception()).reportText();
            job.error = true;
        }
    };

    // Lines come out in input order, each once its squash is over; with
    // `wait` false only those already over.
    int status = AllSquashed;
    std::size_t printed = 0;
    const auto printReady = [&](bool wait) {
        for (; printed < jobs.size(); ++printed) {
            Job &job = jobs[printed];
            if (wait)
                job.finished.waitForFinished();
            else if (!job.finished.isFinished())
                return;
            std::lock_guard lock(mutex);
            if (showProgress)
                std::fputs("\r\033[K", stderr);
            std::fprintf(job.error ? stderr : stdout, "%s\n", FileNames::encode(job.line).constData());
            std::fflush(job.error ? stderr : stdout);
            if (!job.ok)
                status = SomeFailed;
        }
    };
    const auto squash = [&](Job &job) {
        run(job);
        ++finished;
    };

    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Job &job = jobs[i];
        job.input = files[qsizetype(i)];
        job.path = job.input.contains(QLatin1Char('/')) ? job.input : QStringLiteral("./") + job.input;
        const FileNames::Status info = FileNames::status(job.path);
        bool queued = false;
        try {
            if (job.input == QLatin1String("-"))
                throw AppError(AppError::InvalidCall, QStringLiteral("quillmoss-squash"),
                               QStringLiteral("Standard input is not supported; name a picture file"));
            if (!info.isFile)
                Picture::PictureSize(job.path);   // says why: missing, a folder, unreadable
            job.limit = SquashTargets::ByteLimitFor(limitChoice, std::int32_t(std::min<qint64>(info.size, INT32_MAX)));
            job.output = SquashCore::OutputPath(job.path, suffixText, destFolder);
            for (std::size_t k = i; k-- > 0;)
                if (jobs[k].output == job.output) {
                    job.after = k;
                    break;
                }
            SquashCore::Request asked;
            asked.inputPath = job.input;
            asked.maxFileSize = job.limit;
            asked.fixedQuality = fixedQuality;
            // A file that is no picture is not asked about; its load reports it.
            const bool go = !loadable(job.path) || SquashCore::ConfirmWithinLimit(asked, info.size, [&] {
                if (parser.isSet(yes))
                    return true;
                if (!interactive)
                    return false;
                {
                    std::lock_guard lock(mutex);
                    asking = true;
                    std::fputs("\r\033[K", stderr);
                }
                const bool answer = askYes(job.input);
                std::lock_guard lock(mutex);
                asking = false;
                return answer;
            });
            job.continueAnyway = asked.continueAnyway;
            if (!go) {
                job.line = job.input + QStringLiteral(": Picture is already within the file size limit; not squashed");
                job.ok = true;
            }
            if (job.line.isEmpty())
                queued = true;
        } catch (...) {
            job.line = job.input + QStringLiteral(": ") + loadErrorText(ErrorHandlers::asAppError(std::current_exception()));
            job.error = true;
        }
        if (queued) {
            // A job whose output an earlier job also writes follows it, so
            // that the later input replaces the earlier one on disk.
            job.finished = job.after == SIZE_MAX
                ? QtConcurrent::run(&pool, squash, std::ref(job))
                : jobs[job.after].finished.then(&pool, [&squash, &job] { squash(job); });
        } else {
            job.finished = QtFuture::makeReadyFuture();
            ++finished;
        }
        printReady(false);
    }
    printReady(true);
    return status;
}
