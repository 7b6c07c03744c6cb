// Pictures tagged with a wide-gamut ICC profile come out in sRGB, matching a
// colour-managed reference (ImageMagick's -profile conversion).

#include "EngineTestSupport.h"
#include "Picture.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace EngineTest;

namespace {

const QString kProfiles = QStringLiteral("/usr/share/color/icc/ghostscript/");

bool convert(const QStringList &args) { return QProcess::execute(QStringLiteral("convert"), args) == 0; }

// Mean and largest difference of any channel.
std::pair<double, int> difference(const QImage &a, const QImage &b)
{
    qint64 sum = 0;
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)}) {
                sum += std::abs(d);
                most = std::max(most, std::abs(d));
            }
        }
    return {double(sum) / (3.0 * a.width() * a.height()), most};
}

} // namespace

TEST(PictureColours, TaggedPicturesAreConvertedToSrgb)
{
    if (QStandardPaths::findExecutable(QStringLiteral("convert")).isEmpty()
        || !QFileInfo::exists(kProfiles + QStringLiteral("srgb.icc")))
        GTEST_SKIP() << "ImageMagick and the ICC profiles (Debian imagemagick, libgs-common) are needed";
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.png"));
    QImage picture(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 255 / 95, y * 255 / 63, (x / 24) % 2 ? 230 : 20));
    ASSERT_TRUE(picture.save(source));

    for (const char *profile : {"rommrgb.icc", "a98.icc"}) {
        SCOPED_TRACE(profile);
        const QString tagged = dir.filePath(QStringLiteral("tagged.jpg")), reference = dir.filePath(QStringLiteral("ref.png"));
        ASSERT_TRUE(convert({source, QStringLiteral("-profile"), kProfiles + QStringLiteral("srgb.icc"),
                             QStringLiteral("-profile"), kProfiles + QString::fromLatin1(profile),
                             QStringLiteral("-quality"), QStringLiteral("98"), tagged}));
        ASSERT_TRUE(convert({tagged, QStringLiteral("-profile"), kProfiles + QStringLiteral("srgb.icc"), reference}));
        const QImage loaded = Picture::LoadPicture(tagged), expected(reference);
        ASSERT_EQ(loaded.size(), expected.size());
        const auto [mean, most] = difference(loaded, expected);
        EXPECT_LT(mean, 1.0);
        EXPECT_LE(most, 4);
        // The stored pixels are far from it: the test sees a missing conversion.
        const auto [rawMean, rawMost] = difference(QImage(tagged), expected);
        EXPECT_GT(rawMean, 5.0) << rawMost;
    }
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
        // Red stays top left, white bottom right.
        EXPECT_GT(qRed(picture.pixel(picture.width() / 4, picture.height() / 4)), 200);
        EXPECT_GT(qBlue(picture.pixel(picture.width() * 3 / 4, picture.height() * 3 / 4)), 200);
    }
}
