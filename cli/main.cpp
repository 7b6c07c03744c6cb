// quillmoss-squash: the squash of the window, from a terminal.

#include "AppError.h"
#include "BatchBudget.h"
#include "FileNames.h"
#include "Numbers.h"
#include "OutputPlan.h"
#include "SquashJob.h"
#include "SquashTargets.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <malloc.h>
#include <mutex>
#include <numeric>
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

// --max-size: none | a size with a unit (bytes, KB, MB; KB is 1024 bytes)
// | BYTES | P%. Throws AppError for a number that is not one as a whole.
Checked<LimitChoice> parseMaxSize(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none"))
        return {};
    if (t.endsWith(QLatin1Char('%')))
        return SquashTargets::UserPercent(t.chopped(1));
    static const QRegularExpression sized(QStringLiteral("^([0-9]+(?:\\.[0-9]+)?) *(b|bytes|kb|mb)$"));
    if (const auto m = sized.match(t); m.hasMatch()) {
        const QString unit = m.captured(2);
        const double scale = unit == QLatin1String("kb") ? 1024.0 : unit == QLatin1String("mb") ? 1024.0 * 1024.0 : 1.0;
        const double bytes = Numbers::roundHalfEven(m.captured(1).toDouble() * scale);
        // The byte count's own check, so that the range is told as in the window.
        return SquashTargets::UserBytes(bytes < 1e10 ? QString::number(qint64(bytes)) : QStringLiteral("9999999999"));
    }
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
        QStringLiteral("Largest output file: none (the input's length less one byte), a size such as 50KB, 60KB or "
                       "1MB, a byte count, or a percentage of the input's length such as 50%."), QStringLiteral("LIMIT"),
        QStringLiteral("none"));
    const QCommandLineOption size(QStringLiteral("size"),
        QStringLiteral("Picture size: none, 640x480, 800x600, WxH pixels, P% or PW%xPH% of the picture's size."),
        QStringLiteral("SIZE"), QStringLiteral("none"));
    const QCommandLineOption suffix(QStringLiteral("suffix"),
        QStringLiteral("Put between the base name and .jpg (at most %1 characters).").arg(OutputPlan::MaxSuffixLength), QStringLiteral("TEXT"),
        QStringLiteral("_squashed"));
    const QCommandLineOption dest(QStringLiteral("dest"), QStringLiteral("Write into DIR instead of beside each input."),
                                  QStringLiteral("DIR"));
    const QCommandLineOption quality(QStringLiteral("quality"),
        QStringLiteral("No search: encode once at quality Q (1 to 100)."), QStringLiteral("Q"));
    const QCommandLineOption yes(QStringLiteral("yes"),
        QStringLiteral("Squash a JPEG that already fits the limit anyway."));
    const QCommandLineOption fit(QStringLiteral("fit"),
        QStringLiteral("When the limit cannot be met, write the largest smaller size of the same proportions that fits "
                       "at --min-quality or better."));
    const QCommandLineOption minQuality(QStringLiteral("min-quality"),
        QStringLiteral("The lowest quality \"what would fit\" accepts (1 to 100)."), QStringLiteral("Q"),
        QString::number(FitSearch::DefaultMinQuality));
    const QCommandLineOption totalSize(QStringLiteral("total-size"),
        QStringLiteral("Share SIZE (such as 10MB) among all the files: one quality for all, the highest that fits, "
                       "then the bytes left over raise the lowest PSNR first."), QStringLiteral("SIZE"));
    const QCommandLineOption mail(QStringLiteral("mail"),
        QStringLiteral("As --total-size, for a mail of SIZE (such as 25MB): counts the attachments as the mail "
                       "carries them, base64 with part headers and an allowance for the text."), QStringLiteral("SIZE"));
        const QCommandLineOption metadata(QStringLiteral("metadata"),
        QStringLiteral("What the squashed file keeps of the picture's EXIF data: mail (date, camera, author, "
                       "copyright, description; no position), none, or all (the position included)."),
        QStringLiteral("mail|none|all"), QStringLiteral("mail"));
    parser.addOptions({maxSize, size, suffix, dest, quality, yes, fit, minQuality, totalSize, mail, metadata});
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
    if (files.isEmpty()) {
        printErr(QStringLiteral("quillmoss-squash: no FILE given (try --help)"));
        return Usage;
    }
    SquashJob::Settings settings;
    // The checks of the window's boxes, before any file is touched.
    try {
        const auto l = [&] {
            try {
                return parseMaxSize(parser.value(maxSize));
            } catch (const AppError &e) {
                if (e.number() != AppError::TypeMismatch)
                    throw;
                throw AppError(e.number(), e.source(),
                               QStringLiteral("--max-size must be none, a size such as 60KB, 1MB or 250000 (bytes), "
                                              "or a percentage such as 50%"));
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
        settings.limit = l.choice;
        settings.size = t->choice;
    } catch (const AppError &e) {
        printErr(QStringLiteral("quillmoss-squash: ") + e.reportText());
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
        settings.fixedQuality = parser.value(quality).toInt(&ok);
        if (!ok || settings.fixedQuality < 1 || settings.fixedQuality > 100) {
            printErr(QStringLiteral("quillmoss-squash: --quality must be a whole number from 1 to 100"));
            return Usage;
        }
    }
    bool minQualityOk = false;
    settings.fitFloor = parser.value(minQuality).toInt(&minQualityOk);
    if (!minQualityOk || settings.fitFloor < 1 || settings.fitFloor > 100) {
        printErr(QStringLiteral("quillmoss-squash: --min-quality must be a whole number from 1 to 100"));
        return Usage;
    }
    settings.writeFit = parser.isSet(fit);
    std::optional<BatchBudget::Budget> budget;
    for (const QCommandLineOption *option : {&totalSize, &mail}) {
        if (!parser.isSet(*option))
            continue;
        const QString name = option->names().constFirst();
        const auto refuse = [&] {
            printErr(QStringLiteral("quillmoss-squash: --%1 must be a size such as 10MB, 900KB or 250000 (bytes), "
                                    "at least 100 bytes and below 2 GB").arg(name));
            return Usage;
        };
        if (budget || settings.fixedQuality > 0) {
            printErr(QStringLiteral("quillmoss-squash: --%1 goes with neither --quality nor %2")
                         .arg(name, name == QLatin1String("mail") ? QStringLiteral("--total-size") : QStringLiteral("--mail")));
            return Usage;
        }
        try {
            const auto l = parseMaxSize(parser.value(*option));
            if (l.refusal || l.choice.kind != LimitChoice::Kind::Bytes)
                return refuse();
            budget = BatchBudget::Budget{std::int64_t(l.choice.value),
                                         option == &mail ? BatchBudget::Measure::Mail : BatchBudget::Measure::Files};
        } catch (const AppError &) {
            return refuse();
        }
    }
    const auto policy = Metadata::PolicyNamed(parser.value(metadata));
    if (!policy) {
        printErr(QStringLiteral("quillmoss-squash: --metadata must be mail, none or all"));
        return Usage;
    }
    settings.metadata = *policy;
    std::optional<OutputPlan> plan;
    try {
        plan.emplace(parser.value(suffix), destFolder);
    } catch (const AppError &e) {
        printErr(QStringLiteral("quillmoss-squash: --suffix: ") + e.description());
        return Usage;
    }

    // With the inputs planned, a job that cannot even be planned says why.
    const auto planned = [&](const QString &input, const SquashCore::AskContinue &ask) {
        // With a folder, so that the output has one.
        const QString path = input.contains(QLatin1Char('/')) ? input : QStringLiteral("./") + input;
        if (input != QLatin1String("-"))
            return SquashJob::Plan(input, path, settings, *plan, ask);
        SquashJob::Job job;
        job.input = input;
        job.error = AppError(AppError::InvalidCall, QStringLiteral("quillmoss-squash"),
                             QStringLiteral("Standard input is not supported; name a picture file"));
        return job;
    };
    if (budget) {
        // One budget: no file has a limit of its own to be within already.
        std::vector<SquashJob::Job> jobs;
        for (const QString &input : files)
            jobs.push_back(planned(input, [] { return true; }));
        const BatchBudget::Outcome outcome = BatchBudget::Run(jobs, settings, *budget);
        int status = AllSquashed;
        for (const SquashJob::Result &result : outcome.results) {
            const bool error = result.status == SquashJob::Status::LoadFailed || result.status == SquashJob::Status::Error;
            std::fprintf(error ? stderr : stdout, "%s\n", FileNames::encode(result.line).constData());
            if (!result.ok())
                status = SomeFailed;
        }
        std::printf("%s\n", FileNames::encode(outcome.summary).constData());
        return outcome.written ? status : SomeFailed;
    }

    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    const bool showProgress = ::isatty(STDERR_FILENO);
    std::mutex mutex;      // standard error's progress line and the y/N question
    bool asking = false;   // no progress line over the y/N question
    std::atomic<int> finished = 0;
    // Two pictures at a time: one decodes while the other searches.
    QThreadPool pool;
    pool.setMaxThreadCount(files.size() > 1 ? 2 : 1);
    settings.threads = files.size() > 1 ? 1 : 2;

    const auto progressLine = [&](const QString &file, int q) {
        if (!showProgress)
            return true;
        std::lock_guard lock(mutex);
        if (asking)
            return true;
        std::fprintf(stderr, "\r\033[K[%d/%lld] %s: q%d", finished.load(), (long long)files.size(),
                     FileNames::encode(file.mid(file.lastIndexOf(QLatin1Char('/')) + 1)).constData(), q);
        std::fflush(stderr);
        return true;
    };
    const auto ask = [&](const QString &input) {
        if (parser.isSet(yes))
            return true;
        if (!interactive)
            return false;
        {
            std::lock_guard lock(mutex);
            asking = true;
            std::fputs("\r\033[K", stderr);
        }
        const bool answer = askYes(input);
        std::lock_guard lock(mutex);
        asking = false;
        return answer;
    };

    // Lines come out in input order, each once its squash is over; with
    // `wait` false only those already over.
    std::vector<QFuture<SquashJob::Result>> results;
    int status = AllSquashed;
    std::size_t printed = 0;
    const auto printReady = [&](bool wait) {
        for (; printed < results.size(); ++printed) {
            QFuture<SquashJob::Result> &done = results[printed];
            if (!wait && !done.isFinished())
                return;
            const SquashJob::Result result = done.result();
            const bool error = result.status == SquashJob::Status::LoadFailed || result.status == SquashJob::Status::Error;
            std::lock_guard lock(mutex);
            if (showProgress)
                std::fputs("\r\033[K", stderr);
            std::fprintf(error ? stderr : stdout, "%s\n", FileNames::encode(result.line).constData());
            std::fflush(error ? stderr : stdout);
            if (!result.ok())
                status = SomeFailed;
            done = {};   // its bytes are not needed any more
        }
    };

    const auto start = [&](const SquashJob::Job &job, int threads) {
        if (job.error || job.declined) {
            ++finished;
            return QtFuture::makeReadyFuture(SquashJob::Run(job, settings));
        }
        SquashJob::Settings mine = settings;
        mine.threads = std::max(threads, settings.threads);
        return QtConcurrent::run(&pool, [&, job, mine] {
            SquashJob::Result result = SquashJob::Run(job, mine, [&](int q) { return progressLine(job.input, q); });
            ++finished;
            return result;
        });
    };
    // The last few pictures start largest first (their bytes for their
    // work), and the very last takes both threads: the two threads end
    // close together instead of one waiting alone. Their lines still come
    // out in input order.
    constexpr qsizetype kSortedTail = 6;
    std::vector<SquashJob::Job> tail;
    for (qsizetype i = 0; i < files.size(); ++i) {
        SquashJob::Job job = planned(files[i], [&] { return ask(files[i]); });
        if (i < files.size() - kSortedTail)
            results.push_back(start(job, 1));
        else
            tail.push_back(std::move(job));
        printReady(false);
    }
    std::vector<std::size_t> order(tail.size());
    std::vector<qint64> bytes;
    for (const SquashJob::Job &job : tail)
        bytes.push_back(QFileInfo(job.input).size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return bytes[a] > bytes[b]; });
    std::vector<QFuture<SquashJob::Result>> started(tail.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        started[order[k]] = start(tail[order[k]], k + 1 == order.size() ? 2 : 1);
    for (QFuture<SquashJob::Result> &future : started)
        results.push_back(std::move(future));
    printReady(true);
    return status;
}
