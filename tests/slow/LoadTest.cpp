// Long runs: a 100-megapixel photo, crafted bombs, and a batch of a thousand
// pictures through the command line. Memory must stay within budget and flat
// from one picture to the next.

#include "../engine/CraftedPictures.h"
#include "../engine/HostileFiles.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct Child
{
    int status = -1;
    long peakKiB = 0;
};

// Runs the command line program and reads its peak resident memory from
// the kernel's high-water mark of the program's own memory, while it runs.
// (A child's rusage would also count what this big test process held.)
Child runSquash(const QStringList &args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(QStringLiteral(QUILLMOSS_SQUASH), args);
    Child child;
    if (!p.waitForStarted())
        return child;
    const QString status = QStringLiteral("/proc/%1/status").arg(p.processId());
    while (!p.waitForFinished(5)) {
        QFile f(status);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                child.peakKiB = std::max(child.peakKiB, line.mid(6).trimmed().split(' ').front().toLong());
    }
    child.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return child;
}

} // namespace

TEST(Load, A100MegapixelPhotoSquashesWithinItsMemoryBudget)
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("huge.jpg"));
    ASSERT_TRUE(QImage(corpus("Storm.jpg")).scaled(10000, 10000, Qt::IgnoreAspectRatio, Qt::SmoothTransformation).save(input, "JPEG", 85));
    // Even quality 1 of 100 megapixels needs more than 500 KB.
    const Child child = runSquash({QStringLiteral("--max-size"), QStringLiteral("1048576"), input});
    EXPECT_EQ(child.status, 0);
    EXPECT_LE(QFileInfo(dir.filePath(QStringLiteral("huge_squashed.jpg"))).size(), 1048576);
    // The decoded picture (400 MB), the 24-bit copy (300 MB), the DCT
    // coefficients (300 MB) and the encoder's own buffers.
    EXPECT_LT(child.peakKiB, 2L * 1024 * 1024);
}

// Files of a few hundred bytes that claim pictures of gigabytes or
// thousands of scans are refused, and small files of deep pictures (16 bits
// a channel, half floats) that Qt decodes at 8 bytes a pixel are squashed
// and loaded again for what would fit: each within 1 GiB of peak memory.
TEST(Load, CraftedAndDeepPicturesStayWithinOneGibibyte)
{
    QTemporaryDir dir;
    std::vector<Crafted::Case> files = Crafted::bombs();
    files.push_back({"deep.png", Crafted::png16(8700, 8700)});
    files.push_back({"deep.tif", Crafted::tiff(8000, 8000, 4, 16, 1)});
    files.push_back({"half.tif", Crafted::tiff(8000, 8000, 4, 16, 3)});
    files.push_back({"cmyk.tif", Crafted::tiff(8700, 8700, 4, 16, 1, true)});
    for (const Crafted::Case &c : files) {
        const QString path = dir.filePath(QString::fromUtf8(c.file));
        ASSERT_TRUE(writeAll(path, c.bytes));
        const Child child = runSquash({QStringLiteral("--max-size"), QStringLiteral("100"), path});
        EXPECT_EQ(child.status, 1) << c.file;   // refused, or even quality 1 is larger
        EXPECT_LT(child.peakKiB, 1024L * 1024) << c.file;
        if (c.number) {   // the bombs come first, and a refusal writes nothing
            EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("*_squashed*")}, QDir::Files), QStringList{}) << c.file;
        }
    }
}

TEST(Load, AThousandPicturesThroughTheCommandLineKeepMemoryFlat)
{
    QTemporaryDir dir;
    QStringList all;   // small pictures, each a little different
    for (int i = 0; i < 1000; ++i) {
        all << dir.filePath(QStringLiteral("p%1.bmp").arg(i));
        ASSERT_TRUE(Crafted::noise(48 + i % 17, 32 + i % 11).save(all.back(), "BMP"));
    }
    QDir(dir.path()).mkdir(QStringLiteral("few"));
    QDir(dir.path()).mkdir(QStringLiteral("many"));
    const auto squash = [&](const char *dest, const QStringList &files) {
        return runSquash(QStringList{QStringLiteral("--max-size"), QStringLiteral("2000"), QStringLiteral("--dest"),
                                     dir.filePath(QString::fromUtf8(dest))} + files);
    };
    const Child few = squash("few", all.mid(0, 100)), many = squash("many", all);
    EXPECT_EQ(few.status, 0);
    EXPECT_EQ(many.status, 0);
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("many"))).entryList(QDir::Files).size(), 1000);
    EXPECT_LT(many.peakKiB - few.peakKiB, 20 * 1024);
}

// The mutations of the formats Qt decodes (the engine tests cover JPEG, HEIC
// and header sizes): mostly Qt's own decoders at work, so kept out of the
// quick pass.
TEST(Load, MutatedPicturesOfQtsFormatsFailCleanly)
{
    HostileFiles h;
    for (const char *source : {"horse.gif", "1_partyanimsm2.gif", "video-001.bmp", "horse.bmp"}) {
        const QByteArray original = readAll(corpus(source));
        ASSERT_FALSE(original.isEmpty()) << source;
        h.mutate(original, QStringLiteral("case.") + QString::fromUtf8(source).section('.', -1));
    }
    for (const QString format : {"png", "webp", "tif"}) {
        const QString made = h.dir.filePath(QStringLiteral("made.") + format);
        ASSERT_EQ(QProcess::execute(QStringLiteral("convert"), {corpus("video-001.bmp"), made}), 0) << qPrintable(format);
        h.mutate(readAll(made), QStringLiteral("case.") + format);
        QFile::remove(made);
    }
    h.expectEmpty();
}
