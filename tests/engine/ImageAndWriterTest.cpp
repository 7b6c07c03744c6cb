#include "AppError.h"
#include "EngineTestSupport.h"
#include "Picture.h"
#include "cDIBSection.h"
#include "mIntelJPEGLibrary.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

using namespace EngineTest;

namespace {

bool near(QRgb a, QRgb b, int tolerance = 40)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
        && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
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
    QFile::copy(corpus("video-001.bmp"), renamed);
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
    // A small JPEG whose frame header claims 60000 x 60000 pixels.
    QByteArray bomb = readAll(corpus("video-001.jpeg"));
    bomb.replace(bomb.indexOf("\xFF\xC0") + 5, 4, QByteArray::fromHex("ea60ea60"));
    const struct { const char *name; QByteArray bytes; int number; } cases[] = {
        {"notes.jpg", "this is text, not a picture\n", 481},
        {"empty.bmp", "", 481},
        {"zeros.bmp", QByteArray(4096, '\0'), 481},
        {"bomb.jpg", bomb, AppError::OutOfMemory},
    };
    for (const auto &c : cases) {
        const QString path = dir.filePath(QString::fromUtf8(c.name));
        writeAll(path, c.bytes);
        EXPECT_EQ(errorNumber([&] { Picture::LoadPicture(path); }), c.number) << c.name;
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
    EXPECT_TRUE(near(wide.pixel(100, 100), qRgb(255, 0, 0)));
    EXPECT_TRUE(near(wide.pixel(700, 500), qRgb(255, 255, 255)));
    EXPECT_EQ(Picture::StretchPicture(portrait, 1, 1).size(), QSize(1, 1));
    EXPECT_EQ(errorNumber([&] { Picture::StretchPicture(portrait, 65501, 10); }), AppError::InvalidCall);
    EXPECT_EQ(errorNumber([&] { Picture::StretchPicture(portrait, 10, 0); }), AppError::InvalidCall);
    EXPECT_EQ(errorNumber([&] { Picture::StretchPicture(portrait, 60000, 60000); }), AppError::OutOfMemory);
}

TEST(DIBSection, LayoutIsBgrBottomUpWithPaddedRows)
{
    cDIBSection dib;
    EXPECT_EQ(dib.DIBSectionBitsPtr(), nullptr);
    const std::pair<int, int> strides[] = {{1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {101, 304}};
    for (auto [w, stride] : strides) {
        ASSERT_TRUE(dib.Create(w, 1));
        EXPECT_EQ(dib.BytesPerScanLine(), stride) << w;
    }

    QImage img(640, 480, QImage::Format_RGB32);
    img.fill(qRgb(10, 20, 30));
    img.setPixel(0, 479, qRgb(200, 150, 99));   // bottom left
    img.setPixel(639, 0, qRgb(1, 2, 3));        // top right
    dib.CreateFromPicture(img);
    EXPECT_EQ(dib.Width(), 640);
    EXPECT_EQ(dib.Height(), 480);
    const std::uint8_t *bits = dib.DIBSectionBitsPtr();
    ASSERT_NE(bits, nullptr);
    const std::uint8_t *topRight = bits + 479 * dib.BytesPerScanLine() + 639 * 3;
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(bits), 3), "\x63\x96\xC8");
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(topRight), 3), "\x03\x02\x01");

    dib.ClearUp();
    dib.ClearUp();
    EXPECT_EQ(dib.DIBSectionBitsPtr(), nullptr);
    EXPECT_EQ(errorNumber([&] { dib.Create(800000000, 2); }), AppError::Overflow);
}

TEST(JpegWriter, WritesUprightWithoutSkewForEveryRowPadding)
{
    QTemporaryDir dir;
    for (int width : {101, 102, 103, 104, 1, 2, 3}) {
        SCOPED_TRACE(width);
        const int height = width < 8 ? 5 : 200;
        const QImage source = quadrants(width, height);
        cDIBSection dib;
        dib.CreateFromPicture(source);
        const QString path = dir.filePath(QStringLiteral("w%1.jpg").arg(width));
        ASSERT_TRUE(mIntelJPEGLibrary::SaveDibAsJpeg(dib, path, 95));
        const QImage back(path);
        ASSERT_EQ(back.size(), source.size());
        if (width < 8)
            continue;
        EXPECT_TRUE(near(back.pixel(width / 4, height / 4), qRgb(255, 0, 0)));
        EXPECT_TRUE(near(back.pixel(3 * width / 4, height / 4), qRgb(0, 255, 0)));
        EXPECT_TRUE(near(back.pixel(width / 4, 3 * height / 4), qRgb(0, 0, 255)));
        EXPECT_TRUE(near(back.pixel(3 * width / 4, 3 * height / 4), qRgb(255, 255, 255)));
        EXPECT_TRUE(near(back.pixel(3 * width / 4, height - 3), qRgb(255, 255, 255)));
    }
}

TEST(JpegWriter, RealPhotoRoundTripsAndQualityOrdersSizes)
{
    const QImage photo = Picture::LoadPicture(corpus("GreenMeadow.jpg"));
    cDIBSection dib;
    dib.CreateFromPicture(photo);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("meadow.jpg"));
    ASSERT_TRUE(mIntelJPEGLibrary::SaveDibAsJpeg(dib, path, 75));
    const QByteArray written = readAll(path);
    EXPECT_TRUE(written.startsWith("\xFF\xD8\xFF\xE0") && written.mid(6, 4) == "JFIF");

    const QImage back(path);
    ASSERT_EQ(back.size(), photo.size());
    double error = 0;
    for (int y = 0; y < photo.height(); y += 7)
        for (int x = 0; x < photo.width(); x += 7)
            error += std::abs(qGreen(photo.pixel(x, y)) - qGreen(back.pixel(x, y)));
    EXPECT_LT(error / ((photo.height() / 7) * (photo.width() / 7)), 8.0);

    const auto size = [&](int q) { return mIntelJPEGLibrary::EncodeDib(dib, q).size(); };
    EXPECT_GT(size(100), size(75));
    EXPECT_GT(size(75), size(30));
    EXPECT_GT(size(30), size(1));
}

// A failed save leaves the old file alone; a save over it keeps its times
// and permissions.
TEST(JpegWriter, ReplacingKeepsTheOldFileOnFailureAndItsMetadataOnSuccess)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("old.jpg"));
    writeAll(path, "precious");
    const QByteArray name = QFile::encodeName(path);
    ::chmod(name.constData(), 0604);
    const struct timespec times[2] = {{1100000000, 0}, {1200000000, 0}};
    ::utimensat(AT_FDCWD, name.constData(), times, 0);

    cDIBSection dib;
    try {
        mIntelJPEGLibrary::SaveDibAsJpeg(dib, path, 80);
        FAIL() << "an empty image was written";
    } catch (const AppError &e) {
        EXPECT_EQ(e.number(), 26001);
        EXPECT_EQ(e.description(), QStringLiteral("Failed to save to JPG -8"));
        EXPECT_TRUE(e.source().endsWith(QStringLiteral(".mIntelJPEGLibrary")));
    }
    // (Reading it would move its access time.)
    EXPECT_EQ(QFileInfo(path).size(), 8);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("old.jpg")});
    dib.CreateFromPicture(quadrants(33, 17));
    mIntelJPEGLibrary::SaveDibAsJpeg(dib, path, 50);
    struct stat st {};
    ASSERT_EQ(::stat(name.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_atim.tv_sec, 1100000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(QImage(path).size(), QSize(33, 17));
}
