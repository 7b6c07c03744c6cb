// PNG, WebP, TIFF, HEIC and colour-tagged JPEG pictures load upright and in
// true (sRGB) colours: each is compared pixel by pixel with a reference that
// ImageMagick or libheif's own tools make here from the same file.

#include "CraftedPictures.h"
#include "EngineTestSupport.h"
#include "Picture.h"

#include <QColorSpace>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace EngineTest;
using Crafted::Profile;

namespace {

// Four mid-tone quadrants: wrong orientation shows as wrong colours, and
// unlike pure primaries they move visibly when a wide gamut is converted.
QImage source()
{
    QImage img(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const bool right = x >= 32, bottom = y >= 24;
            img.setPixel(x, y, bottom ? (right ? qRgb(230, 230, 230) : qRgb(40, 80, 180))
                                      : (right ? qRgb(60, 160, 90) : qRgb(200, 100, 50)));
        }
    return img;
}

bool run(const QString &program, const QStringList &args) { return QProcess::execute(program, args) == 0; }

// The largest difference of any channel of any pixel; -1 for other sizes.
int largestDifference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            most = std::max({most, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    return most;
}

} // namespace

TEST(MorePictures, LoadUprightInTrueColoursLikeTheReferenceTools)
{
    QTemporaryDir dir;
    const auto at = [&](const char *name) { return dir.filePath(QString::fromUtf8(name)); };
    const QImage picture = source();
    ASSERT_TRUE(picture.save(at("source.png")));
    QImage clear = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x)
            clear.setPixel(x, y, qRgba(0, 0, 0, 0));
    ASSERT_TRUE(clear.save(at("clear.png")));
    ASSERT_TRUE(writeAll(at("p3.icc"), QColorSpace(QColorSpace::DisplayP3).iccProfile()));
    ASSERT_TRUE(writeAll(at("srgb.icc"), QColorSpace(QColorSpace::SRgb).iccProfile()));
    ASSERT_TRUE(writeAll(at("romm.icc"), QColorSpace(QColorSpace::ProPhotoRgb).iccProfile()));
    ASSERT_TRUE(writeAll(at("a98.icc"), QColorSpace(QColorSpace::AdobeRgb).iccProfile()));

    const QString convert = QStringLiteral("convert"), heifConvert = QStringLiteral("heif-convert");
    const QString lossless = QStringLiteral("webp:lossless=true");
    // Decodes a HEIC with libheif's tool, then lets ImageMagick turn its
    // Display P3 pixels into sRGB.
    const QStringList fromP3 = {at("ref.png"), QStringLiteral("+profile"), QStringLiteral("*"), QStringLiteral("-profile"),
                                at("p3.icc"), QStringLiteral("-profile"), at("srgb.icc"), at("ref.png")};
    // A JPEG tagged with a wide-gamut profile, and ImageMagick's sRGB of it.
    const auto tagged = [&](const char *profile, const char *file) {
        return QStringList{at("source.png"), QStringLiteral("-profile"), at("srgb.icc"), QStringLiteral("-profile"),
                           at(profile), QStringLiteral("-quality"), QStringLiteral("98"), at(file)};
    };
    const auto toSrgb = [&](const char *file) {
        return QStringList{at(file), QStringLiteral("-profile"), at("srgb.icc"), at("ref.png")};
    };
    struct Case
    {
        const char *name, *file;
        QStringList make;              // convert's arguments; empty: written through libheif
        QStringList reference = {};    // how `ref.png` is made from the file; empty: decoded as it is
        int tolerance = 0;
        heif_orientation orientation = heif_orientation_normal;
        Profile profile = Profile::None;
        QStringList referenceTwo = {}; // then convert's arguments, if any
    };
    const Case cases[] = {
        {"transparent png", "t.png", {at("clear.png"), at("t.png")},
         {at("t.png"), QStringLiteral("-background"), QStringLiteral("white"), QStringLiteral("-flatten"), at("ref.png")}},
        {"animated webp", "m.webp", {at("source.png"), QStringLiteral("rose:"), QStringLiteral("-define"), lossless, at("m.webp")},
         {at("m.webp[0]"), at("ref.png")}},
        {"tiff turned", "r.tif", {at("source.png"), QStringLiteral("-orient"), QStringLiteral("RightTop"), at("r.tif")},
         {at("r.tif"), QStringLiteral("-auto-orient"), at("ref.png")}},
        // ImageMagick's own conversion of its inks back to sRGB.
        {"cmyk tiff", "c.tif", {at("source.png"), QStringLiteral("-colorspace"), QStringLiteral("CMYK"), QStringLiteral("-depth"),
                                QStringLiteral("16"), at("c.tif")},
         {at("c.tif"), QStringLiteral("-colorspace"), QStringLiteral("sRGB"), at("ref.png")}, 1},
        {"cmyk tiff turned", "c8.tif", {at("source.png"), QStringLiteral("-colorspace"), QStringLiteral("CMYK"), QStringLiteral("-depth"),
                                        QStringLiteral("8"), QStringLiteral("-orient"), QStringLiteral("RightTop"), at("c8.tif")},
         {at("c8.tif"), QStringLiteral("-auto-orient"), QStringLiteral("-colorspace"), QStringLiteral("sRGB"), at("ref.png")}, 1},
        {"heic turned", "r.heic", {}, {}, 0, heif_orientation_rotate_90_cw},
        {"heic mirrored", "m.heic", {}, {}, 0, heif_orientation_flip_horizontally},
        {"heic icc p3", "i.heic", {}, {}, 2, heif_orientation_normal, Profile::Icc, fromP3},
        {"heic nclx p3", "n.heic", {}, {}, 2, heif_orientation_normal, Profile::Nclx, fromP3},
        {"jpeg romm rgb", "romm.jpg", tagged("romm.icc", "romm.jpg"), toSrgb("romm.jpg"), 4},
        {"jpeg adobe rgb", "a98.jpg", tagged("a98.icc", "a98.jpg"), toSrgb("a98.jpg"), 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(at("ref.png"));
        const bool made = c.make.isEmpty() ? writeAll(at(c.file), Crafted::heic(picture, c.orientation, c.profile)) : run(convert, c.make);
        ASSERT_TRUE(made);
        const bool heic = QString::fromUtf8(c.file).endsWith(QLatin1String(".heic"));
        ASSERT_TRUE(run(heic ? heifConvert : convert, c.reference.isEmpty() ? QStringList{at(c.file), at("ref.png")} : c.reference));
        ASSERT_TRUE(c.referenceTwo.isEmpty() || run(convert, c.referenceTwo));
        QImage loaded;
        ASSERT_NO_THROW(loaded = Picture::LoadPicture(at(c.file)));
        EXPECT_EQ(loaded.format(), QImage::Format_RGB32);
        EXPECT_EQ(loaded.width(), QByteArray(c.name).endsWith("turned") ? 48 : 64);
        const int difference = largestDifference(loaded, QImage(at("ref.png")));
        EXPECT_GE(difference, 0) << "the sizes differ";
        EXPECT_LE(difference, c.tolerance);
    }
}
