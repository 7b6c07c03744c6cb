// Runs the quillmoss-squash program as a user would and checks what it
// prints, what it writes and how it exits.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

QString corpus(const char *name) { return QStringLiteral(QUILLMOSS_CORPUS "/") + QString::fromUtf8(name); }

struct Ran
{
    int status = -1;
    QString out, err;
};

class SquashCommand : public ::testing::Test
{
protected:
    QTemporaryDir dir;

    // Copies a corpus picture into the scratch folder, so that outputs land there.
    QString copy(const char *name, const QString &as = QString())
    {
        const QString to = dir.filePath(as.isEmpty() ? QString::fromUtf8(name) : as);
        QFile::copy(corpus(name), to);
        return to;
    }

    Ran run(const QStringList &args)
    {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(QStringLiteral(QUILLMOSS_SQUASH), args);
        p.waitForFinished(120000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }

    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

int qualityIn(const QString &line)
{
    static const QRegularExpression re(QStringLiteral("squashed to (\\d+)% JPEG quality"));
    const auto m = re.match(line);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

QString psnrIn(const QString &line)
{
    static const QRegularExpression re(QStringLiteral("PSNR ([0-9.]+) dB"));
    return re.match(line).captured(1);
}

// ImageMagick's PSNR of one picture against another, over all channels.
double magickPsnr(const QString &a, const QString &b)
{
    QProcess p;
    p.start(QStringLiteral("compare"), {QStringLiteral("-metric"), QStringLiteral("PSNR"), a, b, QStringLiteral("null:")});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardError()).trimmed().toDouble();
}

} // namespace

TEST_F(SquashCommand, SquashesToTheHighestQualityThatFitsAndSaysSo)
{
    const QString in = copy("GreenMeadow.jpg");
    const Ran r = run({QStringLiteral("--max-size"), QStringLiteral("100KB"), QStringLiteral("--size"),
                       QStringLiteral("800x600"), QStringLiteral("GreenMeadow.jpg")});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QString out = dir.filePath(QStringLiteral("GreenMeadow_squashed.jpg"));
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    const int q = qualityIn(lines[0]);
    ASSERT_GT(q, 0) << qPrintable(lines[0]);
    const qint64 bytes = QFileInfo(out).size();
    EXPECT_LE(bytes, 100 * 1024);
    EXPECT_EQ(lines[0], QStringLiteral("GreenMeadow.jpg -> ./GreenMeadow_squashed.jpg: SUCCESS - File squashed to %1% "
                                       "JPEG quality (%2 bytes, PSNR ").arg(q).arg(bytes) + psnrIn(lines[0]) + " dB)");
    EXPECT_EQ(QImage(out).size(), QSize(800, 600));

    // One quality higher does not fit: the search really found the highest.
    if (q < 100) {
        const Ran up = run({QStringLiteral("--size"), QStringLiteral("800x600"), QStringLiteral("--quality"),
                            QString::number(q + 1), QStringLiteral("--suffix"), QStringLiteral("_up"), in});
        ASSERT_EQ(up.status, 0) << qPrintable(up.err);
        EXPECT_GT(QFileInfo(dir.filePath(QStringLiteral("GreenMeadow_up.jpg"))).size(), 100 * 1024);
    }
}

TEST_F(SquashCommand, ABatchGoesOnPastWhatItCannotLoadAndExitsWith1)
{
    copy("horse.gif");
    copy("horse.bmp", QStringLiteral("photo"));   // no dot, still a picture
    QFile text(dir.filePath(QStringLiteral("notes.jpg")));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("not a picture at all");
    text.close();
    QDir(dir.path()).mkdir(QStringLiteral("folder.gif"));
    const Ran r = run({QStringLiteral("--max-size"), QStringLiteral("50KB"), QStringLiteral("notes.jpg"),
                       QStringLiteral("horse.gif"), QStringLiteral("missing.bmp"), QStringLiteral("photo"),
                       QStringLiteral("folder.gif"), QStringLiteral("-")});
    EXPECT_EQ(r.status, 1);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << qPrintable(r.out);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("horse.gif -> ./horse_squashed.jpg: SUCCESS"))) << qPrintable(lines[0]);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("photo -> ./photo_squashed.jpg: SUCCESS"))) << qPrintable(lines[1]);
    // Each failure on standard error, with its own cause.
    EXPECT_EQ(r.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{QStringLiteral("notes.jpg: Unable to load the picture, it needs to be in GIF, JPEG, or BMP format"),
                           QStringLiteral("missing.bmp: Error 53: File not found (./missing.bmp)"),
                           QStringLiteral("folder.gif: Error 481: Invalid picture (./folder.gif is a folder)"),
                           QStringLiteral("-: Error 5: Standard input is not supported; name a picture file")}));
    QDir(dir.path()).rmdir(QStringLiteral("folder.gif"));
    EXPECT_EQ(files(), (QStringList{QStringLiteral("horse.gif"), QStringLiteral("horse_squashed.jpg"),
                                    QStringLiteral("notes.jpg"), QStringLiteral("photo"),
                                    QStringLiteral("photo_squashed.jpg")}));
}

TEST_F(SquashCommand, RefusedEntriesAndBadUsageWriteNothingAndExitWith2)
{
    copy("horse.gif");
    struct Case { QStringList args; QString message; };
    const Case cases[] = {
        {{QStringLiteral("--max-size"), QStringLiteral("99")},
         QStringLiteral("Invalid file size: The specifed size must be between 100 to 2.147,483.647.")},
        {{QStringLiteral("--max-size"), QStringLiteral("101%")},
         QStringLiteral("Invalid percent: The specifed percent must be between 1 to 100")},
        {{QStringLiteral("--max-size"), QStringLiteral("150KB")}, QStringLiteral("none, 50KB, 100KB, 250KB")},
        {{QStringLiteral("--suffix"), QStringLiteral("_elevenchars")}, QStringLiteral("at most 10 characters")},
        {{QStringLiteral("--suffix"), QStringLiteral("/../../y")}, QStringLiteral("may not contain \"/\"")},
        {{QStringLiteral("--quality"), QStringLiteral("0")}, QStringLiteral("--quality")},
        {{QStringLiteral("--size"), QStringLiteral("big")}, QStringLiteral("--size")},
        {{QStringLiteral("--dest"), QStringLiteral("no-such-folder")}, QStringLiteral("not a folder")},
        {{QStringLiteral("--bogus")}, QStringLiteral("bogus")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.args.join(QLatin1Char(' '))));
        const Ran r = run(c.args + QStringList{QStringLiteral("horse.gif")});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.err.contains(c.message)) << qPrintable(r.err);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(files(), QStringList{QStringLiteral("horse.gif")});
    }
    EXPECT_EQ(run({}).status, 2);
}

TEST_F(SquashCommand, AJpegAlreadyWithinTheLimitIsOnlySquashedWhenToldYes)
{
    copy("video-001.jpeg");
    const Ran no = run({QStringLiteral("--max-size"), QStringLiteral("250KB"), QStringLiteral("video-001.jpeg")});
    EXPECT_EQ(no.status, 0);
    EXPECT_TRUE(no.out.contains(QStringLiteral("already within the file size limit"))) << qPrintable(no.out);
    EXPECT_EQ(files().size(), 1);

    const Ran yes = run({QStringLiteral("--max-size"), QStringLiteral("250KB"), QStringLiteral("--yes"),
                         QStringLiteral("video-001.jpeg")});
    EXPECT_EQ(yes.status, 0);
    EXPECT_EQ(qualityIn(yes.out), 100) << qPrintable(yes.out);
}

TEST_F(SquashCommand, ALimitThatCannotBeMetLeavesTheQuality1FileAndExitsWith1)
{
    copy("Picture_1A_by_freespace.jpg");
    QDir(dir.path()).mkdir(QStringLiteral("out"));
    const Ran r = run({QStringLiteral("--max-size"), QStringLiteral("100"), QStringLiteral("--dest"),
                       QStringLiteral("out"), QStringLiteral("Picture_1A_by_freespace.jpg")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.contains(
        QStringLiteral("FAILED - Unable to squash file to the specified picture and file sizes")))
        << qPrintable(r.out);
    EXPECT_GT(QFileInfo(dir.filePath(QStringLiteral("out/Picture_1A_by_freespace_squashed.jpg"))).size(), 100);
}

TEST_F(SquashCommand, HelpAndVersion)
{
    const Ran help = run({QStringLiteral("--help")});
    EXPECT_EQ(help.status, 0);
    for (const char *option : {"--max-size", "--size", "--suffix", "--dest", "--quality", "--yes", "--fit", "--min-quality"})
        EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option;
    const Ran version = run({QStringLiteral("--version")});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.trimmed(), QStringLiteral("quillmoss-squash 1.7"));
}

TEST_F(SquashCommand, AnOutputThatCannotBeWrittenIsOneClearLineAndStatus1)
{
    const QString folder = dir.filePath(QStringLiteral("my \"holiday\" \u00e9t\u00e9"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const QString input = folder + QStringLiteral("/caf\u00e9 photo.gif");
    QFile::copy(corpus("horse.gif"), input);
    const QByteArray before = [&] { QFile f(input); f.open(QIODevice::ReadOnly); return f.readAll(); }();

    const Ran ok = run({QStringLiteral("--max-size"), QStringLiteral("50KB"), input});
    EXPECT_EQ(ok.status, 0) << qPrintable(ok.out + ok.err);
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/caf\u00e9 photo_squashed.jpg")));

    // Permissions do not stop root; /proc takes no new files from anyone.
    const Ran locked = run({QStringLiteral("--dest"), QStringLiteral("/proc"), QStringLiteral("--max-size"),
                            QStringLiteral("50KB"), input});
    EXPECT_EQ(locked.status, 1);
    const QStringList lines = locked.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << qPrintable(locked.err);
    EXPECT_TRUE(lines[0].startsWith(input + QStringLiteral(": Error 7"))) << qPrintable(lines[0]);
    QFile f(input);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
}

// Inputs that share an output (x.bmp and x.gif give x_squashed.jpg) run in
// input order: the later one is what stays on disk, as the last line says,
// even when the earlier one is much slower to squash.
TEST_F(SquashCommand, InputsSharingAnOutputRunInInputOrder)
{
    QImage big(2400, 1800, QImage::Format_RGB32);
    for (int y = 0; y < big.height(); ++y)
        for (int x = 0; x < big.width(); ++x)
            big.setPixel(x, y, qRgb((x * 7) & 0xFF, (y * 13) & 0xFF, (x * y) & 0xFF));
    ASSERT_TRUE(big.save(dir.filePath(QStringLiteral("x.bmp"))));
    copy("horse.gif", QStringLiteral("x.gif"));
    QDir(dir.path()).mkdir(QStringLiteral("dd"));
    const Ran r = run({QStringLiteral("--max-size"), QStringLiteral("50KB"), QStringLiteral("--dest"),
                       QStringLiteral("dd/"), QStringLiteral("x.bmp"), QStringLiteral("x.gif")});
    // The big one may not fit; what matters is which one is on disk.
    EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts).filter(QStringLiteral(" -> "));
    ASSERT_EQ(lines.size(), 2) << qPrintable(r.out);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("x.gif -> dd/x_squashed.jpg: SUCCESS"))) << qPrintable(lines[1]);
    EXPECT_EQ(QImage(dir.filePath(QStringLiteral("dd/x_squashed.jpg"))).size(), QImage(corpus("horse.gif")).size());
}

// The PSNR shown is ImageMagick's figure for the written file against the
// source (a lossless one, unscaled, so that both see the same pixels).
TEST_F(SquashCommand, ThePsnrShownIsImageMagicksFigure)
{
    for (const char *name : {"horse.bmp", "Storm_24bit.bmp"}) {
        SCOPED_TRACE(name);
        const QString in = copy(name);
        const Ran r = run({QStringLiteral("--max-size"), QStringLiteral("250KB"), in});
        ASSERT_EQ(r.status, 0) << qPrintable(r.out + r.err);
        const QString out = SquashCommand::dir.filePath(QString::fromUtf8(name).section('.', 0, 0) + QStringLiteral("_squashed.jpg"));
        const double reference = magickPsnr(in, out);
        ASSERT_GT(reference, 10);
        EXPECT_NEAR(psnrIn(r.out).toDouble(), reference, 0.1) << qPrintable(r.out);
    }
}

// A photo that cannot fit 100 KB at its own size: the line after FAILED
// says what would, --fit writes it, and one pixel more on the longer side
// does not fit at --min-quality.
TEST_F(SquashCommand, WhatWouldFitIsTheLargestSizeThatFitsAtTheFloorQuality)
{
    const QString in = copy("Kleiber_by_Lukas_Baubkus.jpg");
    const QStringList limit{QStringLiteral("--max-size"), QStringLiteral("100KB")};
    const Ran failed = run(limit + QStringList{in});
    EXPECT_EQ(failed.status, 1);
    const QStringList lines = failed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << qPrintable(failed.out);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("FAILED - Unable to squash file to the specified picture and file sizes (")));
    static const QRegularExpression fitLine(QStringLiteral("^At (\\d+) x (\\d+) it fits at (\\d+)% JPEG quality$"));
    const auto m = fitLine.match(lines[1]);
    ASSERT_TRUE(m.hasMatch()) << qPrintable(lines[1]);
    const int width = m.captured(1).toInt(), height = m.captured(2).toInt(), q = m.captured(3).toInt();
    EXPECT_GE(q, 50);
    EXPECT_LT(width, 6028);

    const Ran fit = run(limit + QStringList{QStringLiteral("--fit"), in});
    EXPECT_EQ(fit.status, 0);
    const QString out = dir.filePath(QStringLiteral("Kleiber_by_Lukas_Baubkus_squashed.jpg"));
    EXPECT_TRUE(fit.out.contains(QStringLiteral("SUCCESS - File squashed to %1% JPEG quality at %2 x %3 (%4 bytes, PSNR ")
                                     .arg(q).arg(width).arg(height).arg(QFileInfo(out).size())))
        << qPrintable(fit.out);
    EXPECT_LE(QFileInfo(out).size(), 100 * 1024);
    EXPECT_EQ(QImage(out).size(), QSize(width, height));

    // One pixel more on the longer side, at the floor quality; and the
    // quality above the one found, at the size found: neither fits.
    const int tallerBy = int(std::lround((width + 1) * 3391.0 / 6028.0));
    struct Probe { QString size; int quality; };
    for (const Probe &p : {Probe{QStringLiteral("%1x%2").arg(width + 1).arg(tallerBy), 50},
                           Probe{QStringLiteral("%1x%2").arg(width).arg(height), q + 1}}) {
        if (p.quality > 100)
            continue;
        const Ran over = run({QStringLiteral("--size"), p.size, QStringLiteral("--quality"), QString::number(p.quality),
                              QStringLiteral("--suffix"), QStringLiteral("_over"), in});
        ASSERT_EQ(over.status, 0) << qPrintable(over.out + over.err);
        EXPECT_GT(QFileInfo(dir.filePath(QStringLiteral("Kleiber_by_Lukas_Baubkus_over.jpg"))).size(), 100 * 1024) << qPrintable(p.size);
    }
}

// A name that is not UTF-8 (Latin-1 bytes from an old camera card) is opened
// as its bytes; the output's name and the printed line keep them.
TEST_F(SquashCommand, ANameThatIsNotUtf8KeepsItsBytes)
{
    const QByteArray folder = QFile::encodeName(dir.path());
    copy("horse.gif");
    ASSERT_EQ(::rename((folder + "/horse.gif").constData(), (folder + "/caf\xe9.gif").constData()), 0);
    // QTemporaryDir cannot remove what it cannot name.
    const auto cleanUp = qScopeGuard([&] {
        for (const char *name : {"/caf\xe9.gif", "/caf\xe9_squashed.jpg"})
            ::unlink((folder + name).constData());
    });
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$(printf 'caf\\351.gif')\""),
                                        QStringLiteral(QUILLMOSS_SQUASH)});
    ASSERT_TRUE(p.waitForFinished(120000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_TRUE(p.readAllStandardOutput().startsWith("caf\xe9.gif -> ./caf\xe9_squashed.jpg: SUCCESS"));
    EXPECT_EQ(::access((folder + "/caf\xe9_squashed.jpg").constData(), F_OK), 0);
}
