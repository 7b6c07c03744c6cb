// quillmoss-squash: the squash of the window, from a terminal.

#include "AppError.h"
#include "ErrorHandlers.h"
#include "MemoryBudget.h"
#include "Numbers.h"
#include "Picture.h"
#include "SquashCore.h"
#include "SquashTargets.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QLoggingCategory>
#include <QRegularExpression>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum Exit { AllSquashed = 0, SomeFailed = 1, Usage = 2 };

struct SizeChoice
{
    short index = 0;
    QString a, b;   // the box texts the rule reads
};

void printErr(const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); }

// --max-size: none | 50KB | 100KB | 250KB | BYTES | P%
std::optional<SizeChoice> parseMaxSize(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none")) return SizeChoice{0, {}, {}};
    if (t == QLatin1String("50kb")) return SizeChoice{1, {}, {}};
    if (t == QLatin1String("100kb")) return SizeChoice{2, {}, {}};
    if (t == QLatin1String("250kb")) return SizeChoice{3, {}, {}};
    if (t == QLatin1String("25%")) return SizeChoice{5, {}, {}};
    if (t == QLatin1String("50%")) return SizeChoice{6, {}, {}};
    if (t == QLatin1String("75%")) return SizeChoice{7, {}, {}};
    if (t.endsWith(QLatin1Char('%'))) return SizeChoice{8, {}, t.chopped(1)};
    return SizeChoice{4, t, {}};
}

// --size: none | 640x480 | 800x600 | WxH | P% | PW%xPH%
std::optional<SizeChoice> parseSize(const QString &text)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none")) return SizeChoice{0, {}, {}};
    if (t == QLatin1String("640x480")) return SizeChoice{1, {}, {}};
    if (t == QLatin1String("800x600")) return SizeChoice{2, {}, {}};
    if (t == QLatin1String("25%")) return SizeChoice{4, {}, {}};
    if (t == QLatin1String("50%")) return SizeChoice{5, {}, {}};
    if (t == QLatin1String("75%")) return SizeChoice{6, {}, {}};
    static const QRegularExpression percentPair(QStringLiteral("^([^x%]*)%x([^x%]*)%$"));
    static const QRegularExpression pixels(QStringLiteral("^([^x%]*)x([^x%]*)$"));
    if (const auto m = percentPair.match(t); m.hasMatch()) return SizeChoice{7, m.captured(1), m.captured(2)};
    if (t.endsWith(QLatin1Char('%')) && !t.contains(QLatin1Char('x'))) return SizeChoice{7, t.chopped(1), t.chopped(1)};
    if (const auto m = pixels.match(t); m.hasMatch()) return SizeChoice{3, m.captured(1), m.captured(2)};
    return std::nullopt;
}

SquashTargets::ByteLimit byteLimit(const SizeChoice &c, std::int32_t length)
{
    return SquashTargets::ByteLimitRule(c.index, length, c.a, c.b);
}

SquashTargets::TargetSize targetSize(const SizeChoice &c, float pw, float ph)
{
    return c.index == 7 ? SquashTargets::TargetSizeRule(7, pw, ph, {}, {}, c.a, c.b)
                        : SquashTargets::TargetSizeRule(c.index, pw, ph, c.a, c.b, {}, {});
}

bool isJpegName(const QString &path)
{
    return path.right(3).toUpper() == QLatin1String("JPG") || path.right(4).toUpper() == QLatin1String("JPEG");
}

bool askYes(const QString &file)
{
    std::fprintf(stderr, "%s: Picture is already within the file size limit.\nDo you want to continue on resizing the picture? [y/N] ",
                 qPrintable(file));
    std::fflush(stderr);
    char line[64] = {};
    if (!std::fgets(line, sizeof line, stdin))
        return false;
    return line[0] == 'y' || line[0] == 'Y';
}

// Whether the file looks like a picture, before asking about it.
bool loadable(const QString &path)
{
    QImageReader reader(path);
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
    std::int32_t limit = 0;
    bool continueAnyway = false;
    QString line;       // the result line, once done
    bool ok = false;
    bool error = false; // the line goes to standard error
    bool done = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // A broken picture gets our one clear line, not the decoder's warnings.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
    QCoreApplication::setApplicationName(QStringLiteral("quillmoss-squash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QT_STRINGIFY(QUILLMOSS_VERSION)));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Squashes pictures (JPEG, GIF, BMP) into NAME_squashed.jpg beside each input: scaled once, then\n"
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
    parser.addOptions({maxSize, size, suffix, dest, quality, yes});
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Pictures to squash."), QStringLiteral("FILE..."));
    if (!parser.parse(QCoreApplication::arguments())) {
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
    const auto limitChoice = parseMaxSize(parser.value(maxSize));
    const auto sizeChoice = parseSize(parser.value(size));
    const QString suffixText = parser.value(suffix);
    int fixedQuality = 0;
    if (files.isEmpty()) {
        printErr(QStringLiteral("quillmoss-squash: no FILE given (try --help)"));
        return Usage;
    }
    if (!sizeChoice) {
        printErr(QStringLiteral("quillmoss-squash: --size must be none, 640x480, 800x600, WxH, P% or PW%xPH%"));
        return Usage;
    }
    if (suffixText.size() > 10) {
        printErr(QStringLiteral("quillmoss-squash: --suffix takes at most 10 characters"));
        return Usage;
    }
    // "dd/" gives dd/name, not dd//name.
    const QString destFolder = parser.isSet(dest) ? QDir::cleanPath(parser.value(dest)) : QString();
    if (parser.isSet(dest) && !QFileInfo(parser.value(dest)).isDir()) {
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

    // The checks of the window's boxes, before any file is touched.
    try {
        const auto l = byteLimit(*limitChoice, 1000);
        const auto t = targetSize(*sizeChoice, 100, 100);
        if (l.refusal || t.refusal) {
            const auto &r = l.refusal ? *l.refusal : *t.refusal;
            printErr(r.title + QStringLiteral(": ") + r.text);
            return Usage;
        }
    } catch (const AppError &e) {
        if (e.number() == AppError::TypeMismatch)
            printErr(QStringLiteral("quillmoss-squash: --max-size must be none, 50KB, 100KB, 250KB, a byte count "
                                    "or a percentage such as 50%"));
        else
            printErr(e.reportText());
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
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> queue;
    bool closed = false;
    bool asking = false;   // no progress line over the y/N question
    int finished = 0;
    const int workers = files.size() > 1 ? 2 : 1;
    const int threadsPerSquash = workers > 1 ? 1 : 2;

    const auto progressLine = [&](const QString &file, int q) {
        if (!showProgress)
            return;
        std::lock_guard lock(mutex);
        if (asking)
            return;
        std::fprintf(stderr, "\r\033[K[%d/%lld] %s: q%d", finished, (long long)files.size(),
                     qPrintable(QFileInfo(file).fileName()), q);
        std::fflush(stderr);
    };

    const auto run = [&](Job &job) {
        QImage picture;
        SquashCore::Request request;
        MemoryBudget::Reservation budget;
        try {
            // The target comes from the header, so that a JPEG can be decoded
            // straight at a DCT scale that still covers it, and the whole
            // squash's memory is reserved before anything is allocated.
            const QSize full = Picture::PictureSize(job.path);
            const auto target = targetSize(*sizeChoice, float(full.width()), float(full.height()));
            const QSize wanted(int(Numbers::roundHalfEven(target.width)), int(Numbers::roundHalfEven(target.height)));
            const bool scaled = wanted.width() > 0 && wanted.height() > 0 && wanted != full;
            const QSize decoded = scaled ? Picture::PictureSize(job.path, wanted) : full;
            budget = Picture::ReserveSquash(decoded, scaled ? wanted : decoded);
            picture = Picture::LoadPicture(job.path, {}, scaled ? wanted : QSize());
            request.newWidth = scaled ? target.width : 0;
            request.newHeight = scaled ? target.height : 0;
        } catch (...) {
            job.line = job.input + QStringLiteral(": ")
                     + loadErrorText(ErrorHandlers::asAppError(std::current_exception()));
            job.error = true;
            return;
        }
        try {
            request.picture = picture;
            picture = QImage();
            request.inputPath = job.path;
            request.maxFileSize = job.limit;
            request.suffix = suffixText;
            request.destFolder = destFolder;
            request.continueAnyway = job.continueAnyway;
            request.fixedQuality = fixedQuality;
            request.threads = threadsPerSquash;
            const auto result = SquashCore::Squash(request, [&](int q) {
                progressLine(job.input, q);
                return true;
            });
            job.ok = result.outcome == SquashCore::Outcome::Success;
            job.line = QStringLiteral("%1 -> %2: %3 (%4 bytes)")
                           .arg(job.input, result.outputPath, SquashCore::ResultText(result))
                           .arg(result.outputBytes);
        } catch (...) {
            job.line = job.input + QStringLiteral(": ") + ErrorHandlers::asAppError(std::current_exception()).reportText();
            job.error = true;
        }
    };

    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&] {
            for (;;) {
                std::size_t i;
                {
                    std::unique_lock lock(mutex);
                    // A job whose output an earlier job also writes waits for it,
                    // so that the later input replaces the earlier one on disk.
                    const auto ready = [&] {
                        return std::find_if(queue.begin(), queue.end(), [&](std::size_t j) {
                            return jobs[j].after == SIZE_MAX || jobs[jobs[j].after].done;
                        });
                    };
                    changed.wait(lock, [&] { return (closed && queue.empty()) || ready() != queue.end(); });
                    if (queue.empty())
                        return;
                    const auto next = ready();
                    i = *next;
                    queue.erase(next);
                }
                run(jobs[i]);
                std::lock_guard lock(mutex);
                jobs[i].done = true;
                ++finished;
                changed.notify_all();
            }
        });

    int status = AllSquashed;
    std::size_t printed = 0;
    const auto printReady = [&](std::unique_lock<std::mutex> &) {
        while (printed < jobs.size() && jobs[printed].done) {
            if (showProgress)
                std::fputs("\r\033[K", stderr);
            std::fprintf(jobs[printed].error ? stderr : stdout, "%s\n", qPrintable(jobs[printed].line));
            std::fflush(jobs[printed].error ? stderr : stdout);
            if (!jobs[printed].ok)
                status = SomeFailed;
            ++printed;
        }
    };

    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Job &job = jobs[i];
        job.input = files[qsizetype(i)];
        job.path = job.input.contains(QLatin1Char('/')) ? job.input : QStringLiteral("./") + job.input;
        const QFileInfo info(job.path);
        bool queued = false;
        try {
            if (job.input == QLatin1String("-"))
                throw AppError(AppError::InvalidCall, QStringLiteral("quillmoss-squash"),
                               QStringLiteral("Standard input is not supported; name a picture file"));
            if (!info.isFile())
                Picture::PictureSize(job.path);   // says why: missing, a folder, unreadable
            const auto limit = byteLimit(*limitChoice, std::int32_t(std::min<qint64>(info.size(), INT32_MAX)));
            job.limit = limit.limit;
            job.output = SquashCore::OutputPath(job.path, suffixText, destFolder);
            for (std::size_t k = i; k-- > 0;)
                if (jobs[k].output == job.output) {
                    job.after = k;
                    break;
                }
            if (fixedQuality == 0 && isJpegName(job.input) && info.size() <= job.limit && loadable(job.path)) {
                {
                    std::lock_guard lock(mutex);
                    asking = true;
                    if (showProgress)
                        std::fputs("\r\033[K", stderr);
                }
                job.continueAnyway = parser.isSet(yes) || (interactive && askYes(job.input));
                std::lock_guard lock(mutex);
                asking = false;
                if (!job.continueAnyway) {
                    job.line = job.input + QStringLiteral(": Picture is already within the file size limit; not squashed");
                    job.ok = true;
                }
            }
            if (job.line.isEmpty())
                queued = true;
        } catch (...) {
            job.line = job.input + QStringLiteral(": ") + loadErrorText(ErrorHandlers::asAppError(std::current_exception()));
            job.error = true;
        }
        std::unique_lock lock(mutex);
        if (queued) {
            queue.push_back(i);
        } else {
            job.done = true;
            ++finished;
        }
        changed.notify_all();
        printReady(lock);
    }
    {
        std::unique_lock lock(mutex);
        closed = true;
        changed.notify_all();
        changed.wait(lock, [&] { printReady(lock); return printed == jobs.size(); });
    }
    for (std::thread &t : pool)
        t.join();
    return status;
}
