#include "HeifPicture.h"

#include "AppError.h"
#include "FileNames.h"

#include <QColorSpace>
#include <QFile>
#include <libheif/heif.h>
#include <memory>

namespace HeifPicture {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Picture");

[[noreturn]] void invalidPicture()
{
    throw AppError(481, kSource, QStringLiteral("Invalid picture"));
}

void check(const heif_error &error)
{
    if (error.code != heif_error_Ok)
        invalidPicture();
}

template <typename T, void (*Free)(T *)>
struct Releaser
{
    void operator()(T *p) const { Free(p); }
};
void releaseHandle(heif_image_handle *h) { heif_image_handle_release(h); }
void releaseImage(heif_image *i) { heif_image_release(i); }
using Context = std::unique_ptr<heif_context, Releaser<heif_context, heif_context_free>>;
using Handle = std::unique_ptr<heif_image_handle, Releaser<heif_image_handle, releaseHandle>>;
using Options = std::unique_ptr<heif_decoding_options, Releaser<heif_decoding_options, heif_decoding_options_free>>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, Releaser<heif_color_profile_nclx, heif_nclx_color_profile_free>>;

// The colour space an nclx box describes; an invalid one when it is sRGB
// already (or says nothing), so that nothing is converted.
QColorSpace fromNclx(const heif_color_profile_nclx &n)
{
    auto transfer = QColorSpace::TransferFunction::SRgb;
    float gamma = 0;
    switch (n.transfer_characteristics) {
    case heif_transfer_characteristic_linear: transfer = QColorSpace::TransferFunction::Linear; break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M: transfer = QColorSpace::TransferFunction::Gamma; gamma = 2.2f; break;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G: transfer = QColorSpace::TransferFunction::Gamma; gamma = 2.8f; break;
    default: break;   // the video curves and HDR ones (already mapped to 8 bits) are close enough to sRGB's
    }
    const bool srgbPrimaries = n.color_primaries == heif_color_primaries_ITU_R_BT_709_5
                               || n.color_primaries == heif_color_primaries_unspecified;
    if (srgbPrimaries && transfer == QColorSpace::TransferFunction::SRgb)
        return {};
    return QColorSpace(QPointF(n.color_primary_white_x, n.color_primary_white_y),
                       QPointF(n.color_primary_red_x, n.color_primary_red_y),
                       QPointF(n.color_primary_green_x, n.color_primary_green_y),
                       QPointF(n.color_primary_blue_x, n.color_primary_blue_y), transfer, gamma);
}

QColorSpace colourSpace(heif_image_handle *handle)
{
    if (const size_t size = heif_image_handle_get_raw_color_profile_size(handle); size > 0) {
        QByteArray icc(qsizetype(size), Qt::Uninitialized);
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
            if (const QColorSpace space = QColorSpace::fromIccProfile(icc); space.isValid())
                return space;
    }
    heif_color_profile_nclx *raw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &raw).code != heif_error_Ok || !raw)
        return {};
    const Nclx nclx(raw);
    return fromNclx(*nclx);
}

} // namespace

bool IsHeif(const QString &path)
{
    QFile file;
    if (!FileNames::openForReading(file, path))
        return false;
    const QByteArray head = file.read(64);
    return heif_check_filetype(reinterpret_cast<const uint8_t *>(head.constData()), int(head.size()))
           == heif_filetype_yes_supported;
}

namespace {

// The file's primary picture; its size is the size after rotation.
Handle primary(const Context &context, const QString &path)
{
    static const bool initialised = [] { return heif_init(nullptr).code == heif_error_Ok; }();
    if (!initialised)
        invalidPicture();
    if (!context)
        throw AppError(AppError::OutOfMemory, kSource);
    check(heif_context_read_from_file(context.get(), FileNames::encode(path).constData(), nullptr));
    heif_image_handle *rawHandle = nullptr;
    check(heif_context_get_primary_image_handle(context.get(), &rawHandle));
    Handle handle(rawHandle);
    if (heif_image_handle_get_width(handle.get()) < 1 || heif_image_handle_get_height(handle.get()) < 1)
        invalidPicture();
    return handle;
}

} // namespace

QSize Size(const QString &path)
{
    const Context context(heif_context_alloc());
    const Handle handle = primary(context, path);
    return {heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get())};
}

QImage LoadHeif(const QString &path, const SizeCheck &checkSize)
{
    const Context context(heif_context_alloc());
    const Handle handle = primary(context, path);
    // The pixel count is what the budget needs.
    const int width = heif_image_handle_get_width(handle.get()), height = heif_image_handle_get_height(handle.get());
    checkSize(width, height);

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get());
    const Options options(heif_decoding_options_alloc());
    if (!options)
        throw AppError(AppError::OutOfMemory, kSource);
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    heif_image *decoded = nullptr;
    check(heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get()));
    const std::unique_ptr<heif_image, Releaser<heif_image, releaseImage>> image(decoded);
    int stride = 0;
    const uint8_t *pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!pixels || heif_image_get_width(image.get(), heif_channel_interleaved) != width
        || heif_image_get_height(image.get(), heif_channel_interleaved) != height)
        invalidPicture();

    // Wraps libheif's rows; the conversion makes the one copy we keep.
    const QImage rows(pixels, width, height, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
    QImage picture = rows.convertToFormat(alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (picture.isNull())
        throw AppError(AppError::OutOfMemory, kSource,
                       QStringLiteral("Out of memory (a picture of %1 x %2 pixels is too large)").arg(width).arg(height));
    if (const QColorSpace space = colourSpace(handle.get()); space.isValid() && space != QColorSpace::SRgb) {
        picture.setColorSpace(space);
        picture.convertToColorSpace(QColorSpace::SRgb);
    }
    return picture;
}

} // namespace HeifPicture
