// Broken and hostile pictures, and small files made to cost gigabytes or
// minutes. The mutations of the formats Qt decodes run with the slow tests.

#include "CraftedPictures.h"
#include "EngineTestSupport.h"
#include "HostileFiles.h"

#include <QProcess>

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
    const QString made = dir.filePath(QStringLiteral("made.heic"));
    ASSERT_EQ(QProcess::execute(QStringLiteral("convert"), {corpus("video-001.bmp"), made}), 0);
    mutate(readAll(made), QStringLiteral("case.heic"));
    QFile::remove(made);

    // BMP headers: huge, negative and zero sizes, bad depths.
    const QByteArray bmp24 = readAll(corpus("video-001.bmp")), rle = readAll(corpus("horse.bmp"));
    const qint32 sizes[] = {0, -1, -150, 65536, 1 << 20, 0x7FFFFFFF, qint32(0x80000000)};
    for (qint32 w : sizes)
        for (qint32 h : sizes) {
            for (const QByteArray *base : {&bmp24, &rle}) {
                QByteArray b = *base;
                b.replace(18, 4, le(quint32(w), 4));
                b.replace(22, 4, le(quint32(h), 4));
                attempt("bmp sizes", b, QStringLiteral("case.bmp"));
            }
        }
    for (quint16 bits : {0, 2, 3, 7, 9, 33, 0xFFFF}) {
        QByteArray b = bmp24;
        b.replace(28, 2, le(bits, 2));
        attempt("bmp depth", b, QStringLiteral("case.bmp"));
    }

    // GIFs: frames outside the screen, absurd screens.
    const QByteArray gif = readAll(corpus("horse.gif"));
    for (quint16 v : {0, 1, 0x7FFF, 0xFFFF}) {
        QByteArray screen = gif;
        screen.replace(6, 4, le(v, 2) + le(0xFFFF - v, 2));
        attempt("gif screen size", screen, QStringLiteral("case.gif"));
        // The first image descriptor's place and size.
        QByteArray frame = gif;
        const int descriptor = int(frame.indexOf(char(0x2C), 13 + 3 * 256));
        if (descriptor > 0) {
            frame.replace(descriptor + 1, 2, le(v, 2));
            frame.replace(descriptor + 5, 2, le(v ^ 0x5555, 2));
            attempt("gif frame rectangle", frame, QStringLiteral("case.gif"));
        }
    }

    // JPEGs: bad markers and absurd dimensions in the frame header.
    const QByteArray jpeg = readAll(corpus("video-001.jpeg"));
    const int sof = int(jpeg.indexOf("\xFF\xC0"));
    ASSERT_GT(sof, 0);
    for (quint16 w : {0, 1, 0xFFFF, 60000})
        for (quint16 h : {0, 1, 0xFFFF, 60000}) {
            QByteArray b = jpeg;
            b.replace(sof + 5, 4, Crafted::be(h, 2) + Crafted::be(w, 2));
            attempt("jpeg dimensions", b);
        }
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
// 6-bit channels of 16-bit BMPs reach the full range.
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
            EXPECT_EQ(picture.pixel(4, 2), r.colour) << std::hex << picture.pixel(4, 2);
        }
    // The orientation of a top-down BMP: its first stored row is the top.
    QByteArray b = Crafted::bmp(24, 2, -2, 0x000000);
    b[b.size() - 8] = char(0xFF);   // first byte of the last stored row: blue, bottom left
    const QImage picture = Picture::LoadPicture(file(QStringLiteral("o.bmp"), b));
    EXPECT_EQ(picture.pixel(0, 1), qRgb(0, 0, 255));
    EXPECT_EQ(picture.pixel(0, 0), qRgb(0, 0, 0));
}
