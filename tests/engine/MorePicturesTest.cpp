// PNG, WebP, TIFF, HEIC and colour-tagged JPEG pictures load upright and in
// true (sRGB) colours: each is compared pixel by pixel with a reference that
// ImageMagick or libheif's own tools make here from the same file.

#include "CraftedPictures.h"
#include "EngineTestSupport.h"
#include "Picture.h"

#include <QColorSpace>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace EngineTest;
using Crafted::Profile;

namespace {

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
    // Runs a tool on the words; those with a dot name files in the folder.
    const auto run = [&](const char *program, const char *words) {
        QStringList args = QString::fromUtf8(words).split(QLatin1Char(' '));
        for (QString &a : args)
            a = a.contains(QLatin1Char('.')) ? dir.filePath(a) : a;
        return QProcess::execute(QString::fromUtf8(program), args) == 0;
    };
    // Mid-tone quadrants: wrong orientation shows as wrong colours, and
    // unlike pure primaries they move visibly when a wide gamut is converted.
    QImage picture = quadrants(64, 48);
    QPainter(&picture).fillRect(picture.rect(), QColor(128, 128, 128, 100));
    QImage clear = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < 24; ++y)
        std::fill_n(reinterpret_cast<QRgb *>(clear.scanLine(y)), 32, qRgba(0, 0, 0, 0));
    ASSERT_TRUE(picture.save(at("source.png")) && clear.save(at("clear.png")));
    for (const auto &[name, space] : {std::pair<const char *, QColorSpace::NamedColorSpace>{"p3.icc", QColorSpace::DisplayP3},
                                      {"srgb.icc", QColorSpace::SRgb}, {"romm.icc", QColorSpace::ProPhotoRgb},
                                      {"a98.icc", QColorSpace::AdobeRgb}})
        ASSERT_TRUE(writeAll(at(name), QColorSpace(space).iccProfile()));

    struct Case
    {
        const char *name, *file;
        const char *make;        // convert's words; empty: written through libheif, decoded by its tool into ref.png
        const char *reference;   // convert's words that make (or turn) ref.png
        int tolerance = 0;
        heif_orientation orientation = heif_orientation_normal;
        Profile profile = Profile::None;
    };
    // ImageMagick's sRGB of Display P3 pixels.
    const char *fromP3 = "ref.png +profile * -profile p3.icc -profile srgb.icc ref.png";
    const Case cases[] = {
        {"transparent png", "t.png", "clear.png t.png", "t.png -background white -flatten ref.png"},
        {"animated webp", "m.webp", "source.png rose: -define webp:lossless=true m.webp", "m.webp[0] ref.png"},
        {"tiff turned", "r.tif", "source.png -orient RightTop r.tif", "r.tif -auto-orient ref.png"},
        // ImageMagick's own conversion of its inks back to sRGB.
        {"cmyk tiff", "c.tif", "source.png -colorspace CMYK -depth 16 c.tif", "c.tif -colorspace sRGB ref.png", 1},
        {"cmyk tiff turned", "c8.tif", "source.png -colorspace CMYK -depth 8 -orient RightTop c8.tif",
         "c8.tif -auto-orient -colorspace sRGB ref.png", 1},
        {"heic turned", "r.heic", "", "", 0, heif_orientation_rotate_90_cw},
        {"heic mirrored", "m.heic", "", "", 0, heif_orientation_flip_horizontally},
        {"heic icc p3", "i.heic", "", fromP3, 2, heif_orientation_normal, Profile::Icc},
        {"heic nclx p3", "n.heic", "", fromP3, 2, heif_orientation_normal, Profile::Nclx},
        // JPEGs tagged with a wide-gamut profile.
        {"jpeg romm rgb", "romm.jpg", "source.png -profile srgb.icc -profile romm.icc -quality 98 romm.jpg",
         "romm.jpg -profile srgb.icc ref.png", 4},
        {"jpeg adobe rgb", "a98.jpg", "source.png -profile srgb.icc -profile a98.icc -quality 98 a98.jpg",
         "a98.jpg -profile srgb.icc ref.png", 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(at("ref.png"));
        ASSERT_TRUE(*c.make ? run("convert", c.make) : writeAll(at(c.file), Crafted::heic(picture, c.orientation, c.profile)));
        ASSERT_TRUE(*c.make || run("heif-convert", (c.file + QByteArray(" ref.png")).constData()));
        ASSERT_TRUE(!*c.reference || run("convert", c.reference));
        QImage loaded;
        ASSERT_NO_THROW(loaded = Picture::LoadPicture(at(c.file)));
        EXPECT_EQ(loaded.format(), QImage::Format_RGB32);
        EXPECT_EQ(loaded.width(), QByteArray(c.name).endsWith("turned") ? 48 : 64);
        const int difference = largestDifference(loaded, QImage(at("ref.png")));
        EXPECT_GE(difference, 0) << "the sizes differ";
        EXPECT_LE(difference, c.tolerance);
    }
}
