// PNG, WebP, TIFF, HEIC and colour-tagged JPEG pictures load upright and in
// true (sRGB) colours: each is compared pixel by pixel with a reference that
// ImageMagick or libheif's own tools make here from the same file.

#include "EngineTestSupport.h"
#include "Picture.h"

#include <QColorSpace>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <libheif/heif.h>
#include <memory>

using namespace EngineTest;

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

enum class Profile { None, Icc, Nclx };

// Writes the picture as HEIC through libheif, stored as given and marked
// with the orientation to show it in, and tagged Display P3 if asked.
bool writeHeic(const QString &path, const QImage &picture, heif_orientation orientation, Profile profile)
{
    const std::unique_ptr<heif_context, void (*)(heif_context *)> ctx(heif_context_alloc(), heif_context_free);
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), heif_compression_HEVC, &encoder).code != heif_error_Ok
        || heif_image_create(picture.width(), picture.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code
               != heif_error_Ok
        || heif_image_add_plane(image, heif_channel_interleaved, picture.width(), picture.height(), 8).code != heif_error_Ok)
        return false;
    heif_encoder_set_lossy_quality(encoder, 95);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + y * stride, rgb.constScanLine(y), size_t(rgb.width()) * 3);
    if (profile == Profile::Icc) {
        const QByteArray icc = QColorSpace(QColorSpace::DisplayP3).iccProfile();
        heif_image_set_raw_color_profile(image, "prof", icc.constData(), size_t(icc.size()));
    } else if (profile == Profile::Nclx) {
        heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
        heif_nclx_color_profile_set_color_primaries(nclx, heif_color_primaries_SMPTE_EG_432_1);
        heif_nclx_color_profile_set_transfer_characteristics(nclx, heif_transfer_characteristic_IEC_61966_2_1);
        heif_image_set_nclx_color_profile(image, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = orientation;
    options->macOS_compatibility_workaround_no_nclx_profile = 0;   // keep the nclx box
    const bool ok = heif_context_encode_image(ctx.get(), image, encoder, options, nullptr).code == heif_error_Ok
                    && heif_context_write_to_file(ctx.get(), QFile::encodeName(path).constData()).code == heif_error_Ok;
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    return ok;
}

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
        const bool made = c.make.isEmpty() ? writeHeic(at(c.file), picture, c.orientation, c.profile) : run(convert, c.make);
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
