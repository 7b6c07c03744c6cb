#include "AppError.h"
#include "EngineTestSupport.h"
#include "Picture.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

bool near(QRgb a, QRgb b, int tolerance = 40)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
        && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// The quadrants' colours at their centres: neither turned, mirrored nor skewed.
bool upright(const QImage &img)
{
    const int w = img.width(), h = img.height();
    return near(img.pixel(w / 4, h / 4), qRgb(255, 0, 0)) && near(img.pixel(3 * w / 4, h / 4), qRgb(0, 255, 0))
        && near(img.pixel(w / 4, 3 * h / 4), qRgb(0, 0, 255)) && near(img.pixel(3 * w / 4, 3 * h / 4), qRgb(255, 255, 255));
}

} // namespace

TEST(Picture, LoadsEachFormatByContent)
{
    struct Case { const char *file; int width, height; };
    const Case cases[] = {
        {"video-001.jpeg", 150, 103}, {"video-001.bmp", 150, 103}, {"horse.gif", 200, 200},
        {"horse.bmp", 200, 200},       {"Grey_2560x1600.jpg", 2560, 1600},
        // EXIF orientation 6: stored 640x428, shown upright as 428x640.
        {"bug725582-testrotate.jpg", 428, 640},
        {"1_partyanimsm2.gif", 660, 666},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const QImage img = Picture::LoadPicture(corpus(c.file));
        EXPECT_EQ(img.width(), c.width);
        EXPECT_EQ(img.height(), c.height);
        EXPECT_EQ(img.format(), QImage::Format_RGB32);
    }

    // The name does not decide the format: a BMP called .jpg still loads.
    QTemporaryDir dir;
    const QString renamed = dir.filePath(QStringLiteral("really-a-bmp.jpg"));
    copyPicture("video-001.bmp", renamed);
    EXPECT_EQ(Picture::LoadPicture(renamed).size(), QSize(150, 103));

    // A 1x1 GIF whose one pixel is palette entry 0 (black), marked transparent, loads white.
    const QString gif = dir.filePath(QStringLiteral("t.gif"));
    writeAll(gif, QByteArray::fromHex("47494638396101000100800000000000ffffff21f9040100000000"
                                      "2c00000000010001000002024401003b"));
    EXPECT_EQ(Picture::LoadPicture(gif).pixel(0, 0), qRgb(255, 255, 255));
}

TEST(Picture, RefusesWhatIsNotAPicture)
{
    QTemporaryDir dir;
    const struct { const char *name; QByteArray bytes; } cases[] = {
        {"notes.jpg", "this is text, not a picture\n"}, {"empty.bmp", ""}, {"zeros.bmp", QByteArray(4096, '\0')},
    };
    for (const auto &c : cases) {
        const QString path = dir.filePath(QString::fromUtf8(c.name));
        writeAll(path, c.bytes);
        EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(path); }), 481) << c.name;
    }
    // A picture format Qt reads but the program does not take.
    const QString icon = dir.filePath(QStringLiteral("p.gif"));
    ASSERT_TRUE(quadrants(8, 8).save(icon, "ICO"));
    EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(icon); }), 481);
    EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(dir.path()); }), 481);
    EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(dir.filePath(QStringLiteral("gone.jpg"))); }), 53);
}

TEST(Picture, StretchesToExactlyTheAskedSize)
{
    const QImage portrait = quadrants(60, 80);
    const QImage wide = Picture::StretchPicture(portrait, 800, 600);
    EXPECT_EQ(wide.size(), QSize(800, 600));
    EXPECT_TRUE(upright(wide));
}

// A JPEG can be decoded straight at the smallest DCT scale (n/8) that still
// covers a target, and PictureSize says so beforehand; EXIF-turned pictures
// measure the target after turning.
TEST(PictureDecode, AJpegDecodesAtTheSmallestScaleThatCoversTheTarget)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.jpg"));
    ASSERT_TRUE(quadrants(800, 600).save(path, "JPEG", 95));
    const struct { QSize min, expected; } rows[] = {
        {{}, {800, 600}}, {{100, 75}, {100, 75}}, {{101, 75}, {200, 150}}, {{640, 480}, {700, 525}}, {{801, 1}, {800, 600}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << r.min.width() << "x" << r.min.height());
        EXPECT_EQ(Picture::PictureSize(path, r.min), r.expected);
        const QImage picture = Picture::LoadPicture(path, {}, r.min);
        EXPECT_EQ(picture.size(), r.expected);
        EXPECT_TRUE(upright(picture));
    }
}

// Every row padding (the image's rows are padded to 4 bytes) is written
// upright and without skew; an empty image or one too large to address is
// refused.
TEST(JpegWriter, WritesUprightWithoutSkewForEveryRowPadding)
{
    QTemporaryDir dir;
    cDIBSection dib;
    EXPECT_EQ(errorNumber([&] { mIntelJPEGLibrary::SaveDibAsJpeg(dib, dir.filePath(QStringLiteral("e.jpg")), 80); }),
              AppError::JpegWriter);
    EXPECT_EQ(errorNumber([&] { dib.Create(800000000, 2); }), AppError::Overflow);
    for (int width : {1, 2, 3, 4, 5, 101, 102, 103, 104}) {
        SCOPED_TRACE(width);
        const int height = width < 8 ? 5 : 200;
        const QImage source = quadrants(width, height);
        dib.CreateFromPicture(source);
        const QString path = dir.filePath(QStringLiteral("w%1.jpg").arg(width));
        ASSERT_TRUE(mIntelJPEGLibrary::SaveDibAsJpeg(dib, path, 95));
        const QImage back(path);
        ASSERT_EQ(back.size(), source.size());
        if (width >= 8) {
            EXPECT_TRUE(upright(back));
            EXPECT_TRUE(near(back.pixel(3 * width / 4, height - 3), qRgb(255, 255, 255)));   // the last row not skewed
        }
    }
}
