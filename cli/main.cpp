// quillmoss-squash: the squash of the window, from a terminal.

#include "AppError.h"
#include "ErrorHandlers.h"
#include "FitSearch.h"
#include "Picture.h"
#include "SquashCore.h"
#include "SquashTargets.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QLoggingCategory>
#include <QRegularExpression>

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

struct Job
{
    QString input;      // as given
    QString path;       // with a folder, so that the output has one
    std::int32_t limit = 0;
    bool continueAnyway = false;
    QString line;       // the result line, once done
    bool ok = false;
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
        QStringLiteral("50"));
    parser.addOptions({maxSize, size, suffix, dest, quality, yes, fit, minQuality});
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

    bool minQualityOk = false;
    const int fitFloor = parser.value(minQuality).toInt(&minQualityOk);
    if (!minQualityOk || fitFloor < 1 || fitFloor > 100) {
        printErr(QStringLiteral("quillmoss-squash: --min-quality must be a whole number from 1 to 100"));
        return Usage;
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
        printErr(e.reportText());
        return Usage;
    }

    const bool interactive = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    const bool showProgress = ::isatty(STDERR_FILENO);
    std::vector<Job> jobs(std::size_t(files.size()));
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> queue;
    bool closed = false;
    int finished = 0;
    const int workers = files.size() > 1 ? 2 : 1;
    const int threadsPerSquash = workers > 1 ? 1 : 2;

    const auto progressLine = [&](const QString &file, int q) {
        if (!showProgress)
            return;
        std::lock_guard lock(mutex);
        std::fprintf(stderr, "\r\033[K[%d/%lld] %s: q%d", finished, (long long)files.size(),
                     qPrintable(QFileInfo(file).fileName()), q);
        std::fflush(stderr);
    };

    const auto run = [&](Job &job) {
        QImage picture;
        try {
            picture = Picture::LoadPicture(job.path);
        } catch (...) {
            job.line = job.input + QStringLiteral(": ") + ErrorHandlers::invalidPictureText();
            return;
        }
        try {
            SquashCore::Request request;
            request.picture = picture;
            request.inputPath = job.path;
            request.maxFileSize = job.limit;
            const auto target = targetSize(*sizeChoice, float(picture.width()), float(picture.height()));
            request.newWidth = target.width;
            request.newHeight = target.height;
            request.suffix = suffixText;
            request.destFolder = parser.value(dest);
            request.continueAnyway = job.continueAnyway;
            request.fixedQuality = fixedQuality;
            request.threads = threadsPerSquash;
            const auto progress = [&](int q) {
                progressLine(job.input, q);
                return true;
            };
            auto result = SquashCore::Squash(request, progress);
            QString text = SquashCore::ResultText(result), fitLine;
            if (result.outcome == SquashCore::Outcome::Failed) {
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
        }
    };

    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&] {
            for (;;) {
                std::size_t i;
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return closed || !queue.empty(); });
                    if (queue.empty())
                        return;
                    i = queue.front();
                    queue.pop_front();
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
            std::printf("%s\n", qPrintable(jobs[printed].line));
            std::fflush(stdout);
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
        if (info.isFile()) {
            try {
                const auto limit = byteLimit(*limitChoice, std::int32_t(std::min<qint64>(info.size(), INT32_MAX)));
                job.limit = limit.limit;
                if (fixedQuality == 0 && isJpegName(job.input) && info.size() <= job.limit && loadable(job.path)) {
                    job.continueAnyway = parser.isSet(yes) || (interactive && askYes(job.input));
                    if (!job.continueAnyway) {
                        job.line = job.input + QStringLiteral(": Picture is already within the file size limit; not squashed");
                        job.ok = true;
                    }
                }
                if (job.line.isEmpty())
                    queued = true;
            } catch (...) {
                job.line = job.input + QStringLiteral(": ") + ErrorHandlers::asAppError(std::current_exception()).reportText();
            }
        } else {
            job.line = job.input + QStringLiteral(": ") + ErrorHandlers::invalidPictureText();
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
