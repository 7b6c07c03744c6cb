// Runs the quillmoss-squash program as a user would and checks what it
// prints, what it writes and how it exits.

#include "TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

QStringList linesOf(const QString &text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

struct Ran
{
    int status = -1;
    QString out, err;
    QStringList lines() const { return linesOf(out); }
};

// The first group of `pattern` in `text`.
QString captured(const char *pattern, const QString &text)
{
    return QRegularExpression(QString::fromUtf8(pattern)).match(text).captured(1);
}

class SquashCommand : public ::testing::Test
{
protected:
    QTemporaryDir dir;

    // Copies a test picture into the scratch folder, so that outputs land there.
    QString copy(const char *name, const char *as = nullptr) { return copyPicture(name, dir.filePath(as ? as : name)); }
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
    qint64 size(const QString &name) const { return QFileInfo(dir.filePath(name)).size(); }
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

} // namespace

TEST_F(SquashCommand, SquashesToTheHighestQualityThatFitsAndSaysSo)
{
    copy("GreenMeadow.jpg");
    const Ran r = run({"--max-size", "100KB", "--size", "800x600", "GreenMeadow.jpg"});
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const qint64 written = size("GreenMeadow_squashed.jpg");
    EXPECT_LE(written, 100 * 1024);
    EXPECT_EQ(r.lines(), QStringList(QStringLiteral("GreenMeadow.jpg -> ./GreenMeadow_squashed.jpg: SUCCESS - File squashed to "
                                                    "%1% JPEG quality (%2 bytes, PSNR %3 dB)")
                                         .arg(captured("(\\d+)% JPEG", r.out)).arg(written).arg(captured("PSNR ([0-9.]+)", r.out))));
    EXPECT_EQ(QImage(dir.filePath("GreenMeadow_squashed.jpg")).size(), QSize(800, 600));
}

// Each failure on standard error with its own cause and the file's name; a
// JPEG cut short is squashed as far as it reads, and its line says so.
TEST_F(SquashCommand, ABatchGoesOnPastWhatItCannotLoadAndExitsWith1)
{
    copy("horse.gif");
    copy("horse.bmp", "photo");   // no dot, still a picture
    ASSERT_TRUE(writeAll(dir.filePath("notes.jpg"), "not a picture at all"));
    ASSERT_TRUE(writeAll(dir.filePath("cut.jpg"), readAll(corpus("Picture_1A_by_freespace.jpg")).left(300000)));
    // Cut short: the decoders' causes come in our words, not on the terminal.
    for (const char *format : {"tif", "png"}) {
        QByteArray whole;
        QBuffer buffer(&whole);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && QImage(corpus("horse.bmp")).save(&buffer, format));
        ASSERT_TRUE(writeAll(dir.filePath(QStringLiteral("cut.") + format), whole.left(whole.size() / 2)));
    }
    QDir(dir.path()).mkdir("folder.gif");
    const Ran r = run({"--max-size", "50KB", "notes.jpg", "horse.gif", "missing.bmp", "photo", "folder.gif", "-", "cut.jpg",
                       "cut.tif", "cut.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.lines().last().contains("the picture is damaged (Premature end of JPEG file)")) << qPrintable(r.out);
    EXPECT_EQ(r.lines().replaceInStrings(QRegularExpression(": SUCCESS.*"), ""),
              (QStringList{"horse.gif -> ./horse_squashed.jpg", "photo -> ./photo_squashed.jpg", "cut.jpg -> ./cut_squashed.jpg"}));
    const QString unable = QStringLiteral(": Unable to load the picture, it needs to be in GIF, JPEG, BMP, PNG, WebP, TIFF, "
                                          "or HEIC format");
    EXPECT_EQ(linesOf(r.err), (QStringList{"notes.jpg" + unable, "missing.bmp: Error 53: File not found (./missing.bmp)",
                                           "folder.gif" + unable + " (./folder.gif is a folder)",
                                           "-: Error 5: Standard input is not supported; name a picture file",
                                           "cut.tif" + unable + " (Seek error accessing TIFF directory)",
                                           "cut.png" + unable + " (Read Error)"}));
    EXPECT_EQ(files(), (QStringList{"cut.jpg", "cut.png", "cut.tif", "cut_squashed.jpg", "horse.gif", "horse_squashed.jpg",
                                    "notes.jpg", "photo", "photo_squashed.jpg"}));
}

TEST_F(SquashCommand, RefusedEntriesAndBadUsageWriteNothingAndExitWith2)
{
    copy("horse.gif");
    struct Case { QStringList args; const char *message; };
    const Case cases[] = {
        {{"--max-size", "99"}, "Invalid file size: The specifed size must be between 100 to 2.147,483.647."},
        {{"--max-size", "101%"}, "Invalid percent: The specifed percent must be between 1 to 100"},
        {{"--max-size", "150GB"}, "--max-size must be none, a size such as 60KB"},
        {{"--max-size", "0.09KB"}, "Invalid file size"},
        {{"--suffix", "_elevenchars"}, "at most 10 characters"},
        {{"--suffix", "/../../y"}, "may not contain \"/\""},
        {{"--quality", "0"}, "--quality"},
        {{"--metadata", "some"}, "--metadata must be mail, none or all"},
        {{"--size", "big"}, "--size"},
        {{"--dest", "no-such-folder"}, "not a folder"},
        {{"--bogus"}, "bogus"},
        {{"--total-size", "50%"}, "--total-size must be a size such as 10MB"},
        {{"--mail", "1MB", "--quality", "80"}, "--mail goes with neither --quality nor --total-size"},
        {{}, ""},   // no input at all
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(qPrintable(c.args.join(QLatin1Char(' '))));
        const Ran r = run(c.args.isEmpty() ? c.args : c.args + QStringList{"horse.gif"});
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.message))) << qPrintable(r.err);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(files(), QStringList{"horse.gif"});
    }
}

// One budget for three pictures: a line each and the summary (how the budget
// is split is BatchBudgetTest's); a budget not even the floor fits writes
// nothing, says which common scale would, and exits with 1.
TEST_F(SquashCommand, ABatchSharesOneBudget)
{
    const QStringList inputs{copy("GreenMeadow.jpg"), copy("horse.gif"), copy("bug725582-testrotate.jpg")};
    const Ran r = run(QStringList{"--total-size", "150KB"} + inputs);
    ASSERT_EQ(r.status, 0) << qPrintable(r.err);
    const QStringList lines = r.lines();
    ASSERT_EQ(lines.size(), 4) << qPrintable(r.out);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^3 pictures, 1[0-9]{2}(\\.[0-9])? KB of 150 KB; quality [0-9]+(-[0-9]+)?%, "
                                                  "PSNR [0-9.]+(-[0-9.]+)? dB$")).match(lines[3]).hasMatch())
        << qPrintable(lines[3]);

    for (const QString &f : QDir(dir.path()).entryList({"*_squashed.jpg"}))
        QFile::remove(dir.filePath(f));
    const Ran none = run(QStringList{"--mail", "20KB"} + inputs);
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(none.lines().last().contains(QRegularExpression("At [0-9]+% of their size all 3 fit at 50% JPEG quality or better$")))
        << qPrintable(none.out);
    EXPECT_EQ(files(), (QStringList{"GreenMeadow.jpg", "bug725582-testrotate.jpg", "horse.gif"}));
}

// GreenMeadow.jpg is 183377 bytes. A size with a unit sets the limit (KB is
// 1024 bytes); a JPEG within it is only squashed when told yes, and then
// from quality 100 down like any other, never over the limit.
TEST_F(SquashCommand, MaxSizeWithAUnitAndAJpegAlreadyWithinTheLimit)
{
    copy("GreenMeadow.jpg");
    struct Case { const char *limit; bool within; };
    for (const Case c : {Case{"1MB", true}, {"183377", true}, {"183376 bytes", false}, {"179KB", false}}) {
        SCOPED_TRACE(c.limit);
        const Ran r = run({"--max-size", c.limit, "--size", "640x480", "GreenMeadow.jpg"});
        EXPECT_EQ(r.status, 0) << qPrintable(r.err);
        EXPECT_EQ(r.out.contains("already within the file size limit; not squashed"), c.within) << qPrintable(r.out);
    }
    const Ran yes = run({"--max-size", "250KB", "--yes", "GreenMeadow.jpg"});
    EXPECT_EQ(yes.status, 0);
    EXPECT_TRUE(yes.out.contains("SUCCESS")) << qPrintable(yes.out);
    EXPECT_LT(captured("(\\d+)% JPEG", yes.out).toInt(), 100);
    EXPECT_LE(size("GreenMeadow_squashed.jpg"), 250 * 1024);
}

// Permissions do not stop root; /proc takes no new files from anyone.
TEST_F(SquashCommand, AnOutputThatCannotBeWrittenIsOneClearLineAndStatus1)
{
    // Blanks, quotes and other scripts in the folder and the name are no obstacle.
    const QString folder = dir.filePath(QStringLiteral("my \"holiday\" 'pics' \u00e9t\u00e9 \u5199\u771f"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const QString input = folder + QStringLiteral("/caf\u00e9 & \u03c6\u03c9\u03c4\u03bf.gif");
    copyPicture("horse.gif", input);
    EXPECT_EQ(run({"--max-size", "50KB", input}).status, 0);
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("/caf\u00e9 & \u03c6\u03c9\u03c4\u03bf_squashed.jpg")));
    const Ran r = run({"--dest", "/proc", "--max-size", "50KB", input});
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(linesOf(r.err).size(), 1) << qPrintable(r.err);
    EXPECT_TRUE(r.err.startsWith(input + ": Error 7")) << qPrintable(r.err);
    EXPECT_EQ(readAll(input), readAll(corpus("horse.gif")));
}

// Inputs that share an output name (x.bmp and x.gif) both keep their
// squash: the later one's name shows where it came from, and its line says so.
TEST_F(SquashCommand, InputsSharingAnOutputNameEachKeepTheirOwn)
{
    copy("horse.bmp", "x.bmp");
    copy("horse.gif", "x.gif");
    QDir(dir.path()).mkdir("dd");
    const Ran r = run({"--max-size", "50KB", "--dest", "dd/", "x.bmp", "x.gif"});
    EXPECT_EQ(r.status, 0) << qPrintable(r.err);
    const QStringList lines = r.lines();
    ASSERT_EQ(lines.size(), 2) << qPrintable(r.out);
    EXPECT_EQ(QStringList(lines).replaceInStrings(QRegularExpression(": SUCCESS.*"), ""),
              (QStringList{"x.bmp -> dd/x_squashed.jpg", "x.gif -> dd/x_gif_squashed.jpg"}));
    EXPECT_TRUE(lines[1].endsWith("; not x_squashed.jpg, which holds x.bmp, squashed earlier in this batch"))
        << qPrintable(lines[1]);
    EXPECT_EQ(QDir(dir.filePath("dd")).entryList(QDir::Files), (QStringList{"x_gif_squashed.jpg", "x_squashed.jpg"}));
}

// The PSNR shown is ImageMagick's figure for the written file against the
// source (a lossless one, unscaled, so that both see the same pixels).
TEST_F(SquashCommand, ThePsnrShownIsImageMagicksFigure)
{
    for (const char *name : {"horse.bmp", "Storm_24bit.bmp"}) {
        SCOPED_TRACE(name);
        const QString in = copy(name);
        const Ran r = run({"--max-size", "250KB", in});
        ASSERT_EQ(r.status, 0) << qPrintable(r.out + r.err);
        QProcess compare;
        compare.start("compare", {"-metric", "PSNR", in, in.section('.', 0, 0) + "_squashed.jpg", "null:"});
        compare.waitForFinished(60000);
        const double reference = QString::fromUtf8(compare.readAllStandardError()).trimmed().toDouble();
        ASSERT_GT(reference, 10);
        EXPECT_NEAR(captured("PSNR ([0-9.]+)", r.out).toDouble(), reference, 0.1) << qPrintable(r.out);
    }
}

// A photo that cannot fit 100 KB at its own size: FAILED with status 1, the
// line after it says what would, --fit writes it, and neither one pixel more
// on the longer side at --min-quality nor one quality more fits.
TEST_F(SquashCommand, WhatWouldFitIsTheLargestSizeThatFitsAtTheFloorQuality)
{
    const QString in = copy("Kleiber_by_Lukas_Baubkus.jpg");
    const Ran failed = run({"--max-size", "100KB", in});
    EXPECT_EQ(failed.status, 1);
    const QStringList lines = failed.lines();
    ASSERT_EQ(lines.size(), 2) << qPrintable(failed.out);
    EXPECT_TRUE(lines[0].contains("FAILED - Unable to squash file to the specified picture and file sizes ("));
    const auto m = QRegularExpression("^At (\\d+) x (\\d+) it fits at (\\d+)% JPEG quality$").match(lines[1]);
    ASSERT_TRUE(m.hasMatch()) << qPrintable(lines[1]);
    const int width = m.captured(1).toInt(), height = m.captured(2).toInt(), q = m.captured(3).toInt();
    EXPECT_GE(q, 50);
    EXPECT_LT(width, 6028);

    const Ran fit = run({"--max-size", "100KB", "--fit", in});
    EXPECT_EQ(fit.status, 0);
    const qint64 written = size("Kleiber_by_Lukas_Baubkus_squashed.jpg");
    EXPECT_TRUE(fit.out.contains(QStringLiteral("SUCCESS - File squashed to %1% JPEG quality at %2 x %3 (%4 bytes, PSNR ")
                                     .arg(q).arg(width).arg(height).arg(written)))
        << qPrintable(fit.out);
    EXPECT_LE(written, 100 * 1024);
    EXPECT_EQ(QImage(dir.filePath("Kleiber_by_Lukas_Baubkus_squashed.jpg")).size(), QSize(width, height));

    const int tallerBy = int(std::lround((width + 1) * 3391.0 / 6028.0));
    for (const auto &[w, h, quality] : {std::tuple{width + 1, tallerBy, 50}, {width, height, q + 1}}) {
        if (quality > 100)
            continue;
        const QString size = QStringLiteral("%1x%2").arg(w).arg(h);
        ASSERT_EQ(run({"--size", size, "--quality", QString::number(quality), "--suffix", "_over", in}).status, 0);
        EXPECT_GT(this->size("Kleiber_by_Lukas_Baubkus_over.jpg"), 100 * 1024) << qPrintable(size);
    }

    // When not even the smallest size fits, --fit still leaves the floor file.
    copy("horse.gif");
    EXPECT_EQ(run({"--max-size", "200", "--fit", "horse.gif"}).status, 1);
    EXPECT_GT(size("horse_squashed.jpg"), 200);
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
    p.start("/bin/sh", {"-c", "exec \"$0\" \"$(printf 'caf\\351.gif')\"", QUILLMOSS_SQUASH});
    ASSERT_TRUE(p.waitForFinished(120000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().constData();
    EXPECT_TRUE(p.readAllStandardOutput().startsWith("caf\xe9.gif -> ./caf\xe9_squashed.jpg: SUCCESS"));
    EXPECT_EQ(::access((folder + "/caf\xe9_squashed.jpg").constData(), F_OK), 0);
}

// What an independent reader (exiftool) finds in a file: "Group:Tag" -> value,
// numbers as numbers (-n).
QVariantMap exifOf(const QString &path)
{
    QProcess p;
    p.start(QStringLiteral("exiftool"), {"-j", "-n", "-a", "-G1", "-s", path});
    p.waitForFinished(60000);
    const QJsonDocument doc = QJsonDocument::fromJson(p.readAllStandardOutput());
    return doc.isArray() && !doc.array().isEmpty() ? doc.array().first().toObject().toVariantMap() : QVariantMap();
}

QString groupsOf(const QVariantMap &tags)
{
    QStringList groups;
    for (auto it = tags.cbegin(); it != tags.cend(); ++it)
        if (const QString g = it.key().section(QLatin1Char(':'), 0, 0); it.key().contains(':') && !groups.contains(g))
            groups.append(g);
    groups.sort();
    return groups.join(QLatin1Char(' '));
}

// Camera files with a position, serial numbers, an owner, XMP and IPTC
// written into copies (the corpus's phone photo has a GPS block of its own,
// the other a maker note, a thumbnail and orientation 6), and the phone
// photo made a HEIC file: each policy keeps
// exactly its part, and the result line says when the position went. The
// pixels stay upright, so a kept orientation is 1 or none.
TEST_F(SquashCommand, EachMetadataPolicyKeepsItsPartAsAnotherReaderSeesIt)
{
    // PrintIM is a block of IFD0 that one of the cameras writes.
    // The shared budget writes its own encodes: they carry the same header.
    struct Case { const char *policy; const char *groups; bool everything; const char *limit; };
    const Case cases[] = {
        {"mail", "Composite ExifIFD ExifTool File IFD0 JFIF System", false, "--max-size"},
        {"none", "Composite ExifTool File JFIF System", false, "--max-size"},
        {"all", "Composite ExifIFD ExifTool File GPS IFD0 JFIF PrintIM System", true, "--max-size"},
        {"mail", "Composite ExifIFD ExifTool File IFD0 JFIF System", false, "--total-size"},
    };
    QStringList inputs;
    for (const char *file : {"issue70.jpg", "bug725582-testrotate.jpg"}) {
        inputs.append(copy(file));
        ASSERT_EQ(QProcess::execute("exiftool", {"-q", "-overwrite_original", "-GPSLatitude=48.8583", "-GPSLatitudeRef=N",
                                                 "-GPSLongitude=2.2945", "-GPSLongitudeRef=E", "-SerialNumber=BODY123",
                                                 "-LensSerialNumber=LENS456", "-OwnerName=Owner", "-Artist=A. Person",
                                                 "-Copyright=(c) A. Person", "-OffsetTimeOriginal=+02:00",
                                                 "-XMP-dc:Title=Home", "-IPTC:Keywords=home", inputs.last()}), 0)
            << "exiftool (libimage-exiftool-perl) is needed";
    }
    // The phone photo as a phone of today stores it, its EXIF carried over.
    const QString phone = dir.filePath("phone.jpg");
    ASSERT_EQ(QProcess::execute("convert", {inputs[0], "-resize", "25%", phone}), 0);
    inputs.append(dir.filePath("phone.heic"));
    ASSERT_EQ(QProcess::execute("heif-enc", {"-q", "50", phone, "-o", inputs.last()}), 0);
    for (const QString &in : inputs) {
        const std::string file = QFileInfo(in).fileName().toStdString();
        const QVariantMap source = exifOf(in);
        for (const Case &c : cases) {
            SCOPED_TRACE(file + " " + c.policy + " " + c.limit);
            const Ran r = run({c.limit, "60KB", "--size", "25%", "--metadata", c.policy, in});
            ASSERT_EQ(r.status, 0) << qPrintable(r.err);
            EXPECT_EQ(r.out.contains("; location removed"), !c.everything) << qPrintable(r.out);
            const QString out = dir.filePath(QFileInfo(in).completeBaseName() + "_squashed.jpg");
            const QVariantMap tags = exifOf(out);
            const bool printIm = source.contains("PrintIM:PrintIMVersion");
            EXPECT_EQ(groupsOf(tags), QString::fromUtf8(c.groups).remove(printIm ? "" : "PrintIM "));
            EXPECT_LE(QFileInfo(out).size(), 60 * 1024);
            const bool upright = (source.value("File:ImageWidth").toInt() > source.value("File:ImageHeight").toInt())
                                 != (source.value("IFD0:Orientation").toInt() >= 5);
            EXPECT_EQ(tags.value("File:ImageWidth").toInt() > tags.value("File:ImageHeight").toInt(), upright);
            for (const char *key : {"ExifIFD:DateTimeOriginal", "ExifIFD:CreateDate", "ExifIFD:OffsetTimeOriginal", "IFD0:Make",
                                    "IFD0:Model", "IFD0:Artist", "IFD0:Copyright"})
                EXPECT_EQ(tags.value(key), QStringLiteral("none") == c.policy ? QVariant() : source.value(key)) << key;
            for (const char *key : {"GPS:GPSLatitude", "ExifIFD:SerialNumber", "ExifIFD:LensSerialNumber"})
                EXPECT_EQ(tags.value(key), c.everything ? source.value(key) : QVariant()) << key;
            EXPECT_EQ(tags.value("IFD0:Orientation", 1), 1);
        }
    }
}
