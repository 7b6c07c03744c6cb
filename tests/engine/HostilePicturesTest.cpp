// Broken and hostile pictures, and small files made to cost gigabytes or
// minutes. The mutations of the formats Qt decodes run with the slow tests.

#include "CraftedPictures.h"
#include "EngineTestSupport.h"
#include "HostileFiles.h"

using namespace EngineTest;
using Crafted::le;

namespace {

class HostilePictures : public ::testing::Test, public HostileFiles
{
};

} // namespace

TEST_F(HostilePictures, MutatedJpegAndHeicPicturesAndHeaderSizesFailCleanly)
{
    for (const char *source : {"video-001.jpeg", "bug725582-testrotate.jpg"}) {
        const QByteArray original = readAll(corpus(source));
        ASSERT_FALSE(original.isEmpty()) << source;
        mutate(original, QStringLiteral("case.jpg"));
    }
    mutate(Crafted::heic(QImage(corpus("video-001.bmp"))), QStringLiteral("case.heic"));

    // Sizes in headers (two neighbouring fields, all pairs of the values)
    // huge, negative or zero: BMP pictures, GIF screens and frames, JPEG
    // frames; then BMP depths that are none.
    const QByteArray gif = readAll(corpus("horse.gif")), jpeg = readAll(corpus("video-001.jpeg"));
    const qsizetype frame = gif.indexOf(char(0x2C), 13 + 3 * 256), sof = jpeg.indexOf("\xFF\xC0");
    ASSERT_TRUE(frame > 0 && sof > 0);
    const struct { const char *source, *name; qsizetype at; int bytes; bool bigEndian; } fields[] = {
        {"video-001.bmp", "case.bmp", 18, 4, false}, {"horse.bmp", "case.bmp", 18, 4, false},
        {"horse.gif", "case.gif", 6, 2, false},      {"horse.gif", "case.gif", frame + 5, 2, false},
        {"video-001.jpeg", "case.jpg", sof + 5, 2, true},
    };
    const std::vector<qint64> wide = {0, -1, -150, 65536, 1 << 20, 0x7FFFFFFF, 0x80000000}, narrow = {0, 1, 0x7FFF, 0xFFFF};
    for (const auto &f : fields) {
        const QByteArray original = readAll(corpus(f.source));
        const auto field = [&](qint64 v) { return f.bigEndian ? Crafted::be(v, f.bytes) : le(v, f.bytes); };
        for (qint64 w : f.bytes == 4 ? wide : narrow)
            for (qint64 h : f.bytes == 4 ? wide : narrow)
                attempt(f.source, QByteArray(original).replace(f.at, 2 * f.bytes, field(w) + field(h)), QString::fromUtf8(f.name));
    }
    for (int bits : {0, 2, 3, 7, 9, 33, 0xFFFF})
        attempt("bmp depth", readAll(corpus("video-001.bmp")).replace(28, 2, le(bits, 2)), QStringLiteral("case.bmp"));

    // JPEGs: bad markers.
    for (int i = 0; i < 150; ++i) {
        QByteArray b = jpeg;
        // Markers: turn some 0xFF xx pairs into other markers.
        for (int at = 2; at + 1 < b.size(); ++at)
            if (uchar(b[at]) == 0xFF && random() % 12 == 0)
                b[at + 1] = char(0xC0 + random() % 0x3F);
        attempt("jpeg markers", b);
    }
    expectEmpty();
}

// Small files that claim huge pictures or endless scans are refused before
// their pixels are allocated, with the size or the cause named, and nothing
// is written.
TEST_F(HostilePictures, CraftedBombsAreRefusedWithTheirCause)
{
    for (const Crafted::Case &c : Crafted::bombs()) {
        SCOPED_TRACE(c.file);
        try {
            Picture::LoadPicture(file(QString::fromUtf8(c.file), c.bytes));
            ADD_FAILURE() << "loaded";
        } catch (const AppError &e) {
            EXPECT_EQ(e.number(), c.number) << qPrintable(e.reportText());
            EXPECT_TRUE(e.description().contains(QString::fromUtf8(c.cause))) << qPrintable(e.reportText());
        }
    }
    // A truncated JPEG of a sane size still gives what decodes.
    EXPECT_EQ(Picture::LoadPicture(file(QStringLiteral("cut.jpg"), Crafted::hugeJpeg(640, 480, 20))).size(), QSize(640, 480));
}

// A load can be stopped: between rows, inside a long progressive decode,
// and between the tiles of a HEIC grid. That grid, branded only "mif1",
// loads whole with its tiles' edges beyond the picture cut off.
TEST_F(HostilePictures, ALoadCanBeCancelled)
{
    const QString path = file(QStringLiteral("p.jpg"), Crafted::jpegOf(Crafted::noise(256, 256), true));
    for (int after : {0, 1, 5}) {
        int asked = 0;
        EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(path, [&] { return asked++ >= after; }); }),
                  Picture::LoadCancelled);
    }
    EXPECT_EQ(Picture::LoadPicture(path, [] { return false; }).size(), QSize(256, 256));
    const QString grid = file(QStringLiteral("g.heic"),
                              Crafted::heif(Crafted::hevc(64), QSize(64, 64), 2, 3, QSize(150, 100)).replace(8, 4, "mif1"));
    for (int after : {1, 5}) {
        int asked = 0;
        EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(grid, [&] { return asked++ >= after; }); }),
                  Picture::LoadCancelled);
        EXPECT_LE(asked, after + 2);   // the tile that was asked about, and once after the decode
    }
    const QImage picture = Picture::LoadPicture(grid, [] { return false; });
    EXPECT_EQ(picture.size(), QSize(150, 100));
    EXPECT_NEAR(qGray(picture.pixel(149, 99)), 128, 8);
}

// Top-down BMPs (a negative height) load the right way up, and 5- and
// 6-bit channels of 16-bit BMPs reach the full range. The first stored row
// is the bottom one, or the top one of a top-down BMP; the others are 0.
TEST_F(HostilePictures, TopDownAndSixteenBitBmpsLoadTrue)
{
    const std::vector<quint32> rgb565 = {0xF800, 0x07E0, 0x001F};
    const struct { int bits; quint32 fill; std::vector<quint32> masks; QRgb colour; } rows[] = {
        {24, 0x336699, {}, qRgb(0x33, 0x66, 0x99)}, {8, 51, {}, qRgb(51, 51, 51)}, {4, 5, {}, qRgb(85, 85, 85)},
        {16, 0x7FFF, {}, qRgb(255, 255, 255)},      {16, 0xFFFF, rgb565, qRgb(255, 255, 255)},
        {16, 0x8410, rgb565, qRgb(132, 130, 132)},
    };
    for (const auto &r : rows)
        for (int sign : {1, -1}) {
            SCOPED_TRACE(testing::Message() << r.bits << " bits, height sign " << sign);
            QImage picture;
            ASSERT_NO_THROW(picture = Picture::LoadPicture(file(QStringLiteral("p.bmp"), Crafted::bmp(r.bits, 5, 3 * sign, r.fill, -1, r.masks))));
            EXPECT_EQ(picture.size(), QSize(5, 3));
            EXPECT_EQ(picture.pixel(4, sign > 0 ? 2 : 0), r.colour) << std::hex << picture.pixel(4, 2);
            EXPECT_EQ(picture.pixel(4, sign > 0 ? 0 : 2), qRgb(0, 0, 0));
        }
}
