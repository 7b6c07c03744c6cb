#include "EngineTestSupport.h"
#include "OutputPlan.h"
#include "Psnr.h"
#include "Picture.h"
#include "SquashCore.h"
#include "SquashJob.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <numeric>

using namespace EngineTest;

namespace {

struct Scaled
{
    QImage picture;   // as loaded
    cDIBSection dib;  // scaled as the squash scales it
};

void prepare(Scaled &s, const char *file, int width, int height)
{
    s.picture = Picture::LoadPicture(corpus(file));
    s.dib.CreateFromPicture(width ? Picture::StretchPicture(s.picture, width, height) : s.picture);
}

// The loop the search must agree with: every try written to disk, from
// quality 100 down, the first that fits wins; 0 when none does.
int diskScan(const cDIBSection &dib, std::int64_t limit, const QString &scratch)
{
    for (int q = 100; q >= 1; --q) {
        mIntelJPEGLibrary::SaveDibAsJpeg(dib, scratch, q);
        if (QFileInfo(scratch).size() <= limit)
            return q;
    }
    return 0;
}

SquashCore::Request request(const QImage &picture, const QString &input, std::int32_t limit, int w = 0, int h = 0)
{
    SquashCore::Request r;
    r.picture = picture;
    r.inputPath = input;
    r.maxFileSize = limit;
    r.newWidth = float(w);
    r.newHeight = float(h);
    return r;
}

class SquashCoreTest : public ::testing::Test
{
protected:
    QTemporaryDir dir;
    QString input = dir.filePath(QStringLiteral("in.jpg"));   // never written: the squash takes the decoded picture
    QString output = dir.filePath(QStringLiteral("in_squashed.jpg"));

    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }
};

} // namespace

// The limits sit on, between and around the sizes the plain scan meets,
// scaled and not, plus one of exactly the quality-51 file's length (a file
// of exactly the limit fits). The tiny video frame is a picture whose size
// is not monotonic in quality, so a search that assumes it would go wrong.
// A limit that cannot be met (100 bytes) tries every quality and leaves the
// quality-1 file.
TEST_F(SquashCoreTest, ChoosesWhatThePlainDiskScanChoosesAndWritesItsBytes)
{
    struct Case { const char *file; int width, height; std::vector<std::int32_t> limits; };
    const Case cases[] = {
        {"Picture_1A_by_freespace.jpg", 0, 0, {250 * 1024, 100 * 1024, 50 * 1024}},
        {"GreenMeadow.jpg", 800, 600, {100 * 1024, 50 * 1024, 20000, 100}},
        {"Storm_24bit.bmp", 640, 480, {51200, 30001}},
        {"horse.gif", 0, 0, {4000, 2500}},
        {"video-001.jpeg", 33, 25, {590, 591, 600}},
    };
    const QString scratch = dir.filePath(QStringLiteral("scan.jpg"));
    for (const Case &c : cases) {
        Scaled s;
        prepare(s, c.file, c.width, c.height);
        std::vector<std::int32_t> limits = c.limits;
        limits.push_back(std::int32_t(mIntelJPEGLibrary::Encoder().Encode(s.dib, 51).size()));
        if (c.width == 33) {
            ASSERT_GT(mIntelJPEGLibrary::Encoder().Encode(s.dib, 50).size(), std::size_t(limits.back()))
                << "the corpus frame no longer shows a size that falls as quality rises";
        }
        for (std::int32_t limit : limits) {
            SCOPED_TRACE(std::string(c.file) + " limit " + std::to_string(limit));
            const int found = diskScan(s.dib, limit, scratch), expected = std::max(found, 1);
            std::vector<int> tried;
            const auto result = SquashCore::Squash(request(s.picture, input, limit, c.width, c.height), [&](int q) {
                tried.push_back(q);
                return true;
            });
            EXPECT_EQ(result.outcome, found ? SquashCore::Outcome::Success : SquashCore::Outcome::Failed);
            EXPECT_EQ(result.quality, expected);
            EXPECT_EQ(result.outputPath, output);
            std::vector<int> descending(std::size_t(101 - expected));
            std::iota(descending.rbegin(), descending.rend(), expected);
            EXPECT_EQ(tried, descending);
            mIntelJPEGLibrary::SaveDibAsJpeg(s.dib, scratch, expected);
            const QByteArray written = readAll(output);
            EXPECT_EQ(written, readAll(scratch));
            EXPECT_EQ(result.outputBytes, written.size());
        }
    }
}

// A JPEG squashed from its file is decoded band by band straight into its
// coefficients when it needs no turning; one that does is loaded whole.
// Either way the file written, its quality and its PSNR are those of the
// plain scan over the whole decoded picture: made pictures of odd sizes,
// colour and grey, in each of the eight EXIF orientations, and progressive
// ones, whose coefficients are read out twice. The window takes
// the bytes and the preview from the result, without reading the file.
TEST_F(SquashCoreTest, AJpegSquashedFromItsFileWritesWhatTheWholePictureGives)
{
    struct Case { int width, height; bool grey; int orientation; bool progressive = false; };
    const Case cases[] = {{1, 1, false, 1}, {17, 290, true, 1},  {250, 33, false, 1}, {129, 67, false, 2},
                          {33, 250, true, 3}, {31, 17, false, 4}, {67, 129, false, 5}, {9, 17, true, 6},
                          {100, 61, false, 7}, {61, 100, false, 8}, {300, 47, false, 1, true}, {47, 150, true, 1, true}};
    const QString scratch = dir.filePath(QStringLiteral("scan.jpg"));
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " orientation " + std::to_string(c.orientation));
        QImage made = quadrants(c.width, c.height);
        for (int y = 0; y < c.height; ++y)   // full-swing noise: the transform's largest intermediates
            for (int x = 0; x < c.width; ++x) {
                const unsigned h = unsigned(x) * 73856093u ^ unsigned(y) * 19349663u;
                made.setPixel(x, y, made.pixel(x, y) ^ qRgb(h & 255, (h >> 8) & 255, (h >> 16) & 255));
            }
        if (c.grey)
            made.convertTo(QImage::Format_Grayscale8);
        QByteArray file;
        QBuffer buffer(&file);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(95);
        writer.setProgressiveScanWrite(c.progressive);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && writer.write(made));
        // EXIF with the orientation tag alone, right after SOI.
        QByteArray exif("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 24);
        exif += char(c.orientation);
        exif += QByteArray(7, '\0');
        file.insert(2, QByteArray("\xFF\xE1", 2) + char((exif.size() + 2) >> 8) + char((exif.size() + 2) & 0xFF) + exif);
        writeAll(input, file);

        cDIBSection dib;
        dib.CreateFromPicture(Picture::LoadPicture(input));
        const std::int32_t limit = std::int32_t(mIntelJPEGLibrary::Encoder().Encode(dib, 60).size());
        const int expected = diskScan(dib, limit, scratch);
        SquashJob::Settings settings;
        settings.limit = {SquashTargets::LimitChoice::Kind::Bytes, double(limit)};
        settings.metadata = Metadata::Policy::None;
        settings.previewSize = QSize(16, 16);
        OutputPlan plan;
        const SquashJob::Result result =
            SquashJob::Run(SquashJob::Plan(input, input, settings, plan, [] { return true; }), settings);
        ASSERT_EQ(result.status, SquashJob::Status::Squashed) << qPrintable(result.line);
        EXPECT_EQ(result.quality, expected);
        mIntelJPEGLibrary::SaveDibAsJpeg(dib, scratch, expected);
        EXPECT_EQ(readAll(output), readAll(scratch));
        EXPECT_EQ(result.encoded, readAll(output));
        EXPECT_EQ(result.preview.size(), result.size.scaled(16, 16, Qt::KeepAspectRatio).expandedTo({1, 1}).boundedTo(result.size));
        const std::vector<std::uint8_t> bytes(result.encoded.cbegin(), result.encoded.cend());
        EXPECT_DOUBLE_EQ(result.psnr, Psnr::JpegAgainst(dib, bytes));
        // Decoded in bands, as the job does for large files; kept whole
        // (for a fit) it is the picture a load gives.
        if (c.orientation == 1) {
            for (const bool keep : {false, true}) {
                SquashCore::Request streamed = request(QImage(), input, limit);
                streamed.jpeg = file;
                streamed.keepDecoded = keep;
                const SquashCore::Result fromFile = SquashCore::Squash(streamed);
                EXPECT_EQ(fromFile.encoded, result.encoded);
                EXPECT_DOUBLE_EQ(fromFile.psnr, result.psnr);
                EXPECT_EQ(fromFile.decoded, keep ? Picture::LoadPicture(input) : QImage());
            }
        }
        // Handed the file and a size to scale to, the squash scales.
        SquashCore::Request scaled = request(QImage(), input, 1 << 20, 8, 5);
        scaled.jpeg = file;
        EXPECT_EQ(SquashCore::Squash(scaled).size, QSize(8, 5));
    }
}

TEST_F(SquashCoreTest, CancellingBetweenTriesWritesNothingAndKeepsAnOldOutput)
{
    Scaled s;
    prepare(s, "Picture_1A_by_freespace.jpg", 0, 0);
    for (const bool old : {false, true}) {
        SCOPED_TRACE(old ? "old output present" : "no old output");
        if (old)
            writeAll(output, "older squash");
        int seen = 0;
        const auto result = SquashCore::Squash(request(s.picture, input, 1000), [&](int q) {
            ++seen;
            return q > 60;
        });
        EXPECT_EQ(result.outcome, SquashCore::Outcome::Cancelled);
        EXPECT_EQ(seen, 41);
        EXPECT_EQ(files(), old ? QStringList{QStringLiteral("in_squashed.jpg")} : QStringList{});
        if (old) {
            EXPECT_EQ(readAll(output), QByteArray("older squash"));
        }
    }
}

// A batch never replaces a file it wrote itself: a later input with the
// same name gets its extension (and then a number) in its output's name.
TEST_F(SquashCoreTest, OutputNamesAndTheRefusalToReplaceTheInput)
{
    OutputPlan plan;
    struct Case { const char *input, *output, *takenBy; };
    const Case cases[] = {
        {"/p/holiday.final.bmp", "/p/holiday.final_squashed.jpg", ""},
        {"/p/photo", "/p/photo_squashed.jpg", ""},
        {"/p/IMG_0001.JPG", "/p/IMG_0001_squashed.jpg", ""},
        {"/p/IMG_0001.HEIC", "/p/IMG_0001_HEIC_squashed.jpg", "/p/IMG_0001.JPG"},
        {"/p/IMG_0001.heic", "/p/IMG_0001_heic_squashed.jpg", "/p/IMG_0001.JPG"},
        {"/p/photo", "/p/photo_2_squashed.jpg", "/p/photo"},
    };
    for (const Case &c : cases) {
        const OutputPlan::Name name = plan.Claim(QString::fromUtf8(c.input));
        EXPECT_EQ(name.path, QString::fromUtf8(c.output));
        EXPECT_EQ(name.takenBy, QString::fromUtf8(c.takenBy));
    }
    EXPECT_EQ(OutputPlan(QStringLiteral("-s"), QStringLiteral("/q")).Claim(QStringLiteral("/p/a.gif")).path,
              QStringLiteral("/q/a-s.jpg"));

    // An empty suffix on a ".jpg" input would write over the picture itself.
    Scaled s;
    prepare(s, "horse.gif", 0, 0);
    const QByteArray original = readAll(corpus("video-001.jpeg"));
    writeAll(input, original);
    auto r = request(s.picture, input, 1 << 30);
    r.suffix.clear();
    EXPECT_EQ(errorNumber([&] { SquashCore::Squash(r); }), 75);
    EXPECT_EQ(readAll(input), original);
    EXPECT_EQ(files(), QStringList{QStringLiteral("in.jpg")});

    // The same file reached through another name is refused too.
    ASSERT_TRUE(QFile::link(input, dir.filePath(QStringLiteral("alias.gif"))));
    ASSERT_TRUE(QFile::link(input, dir.filePath(QStringLiteral("alias_x.jpg"))));
    r.inputPath = dir.filePath(QStringLiteral("alias.gif"));
    r.suffix = QStringLiteral("_x");
    EXPECT_EQ(errorNumber([&] { SquashCore::Squash(r); }), 75);
    EXPECT_EQ(readAll(input), original);
}
