#include "HeifPicture.h"

#include "AppError.h"
#include "HeifLibrary.h"
#include "Picture.h"

#include <QColorSpace>
#include <QMap>
#include <libheif/heif_plugin.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <algorithm>
#include <cstring>
#include <memory>

namespace HeifPicture {
namespace {

const QString kSource = QStringLiteral("Quillmoss.Picture");

[[noreturn]] void invalidPicture(const QString &cause = {}) { Picture::RefuseInvalid(cause); }

void check(const heif_error &error)
{
    if (error.code != heif_error_Ok)
        invalidPicture();
}

const HeifLibrary::Functions &heif() { return HeifLibrary::Get(); }

template <typename T, void (*Free)(T *)>
struct Releaser
{
    void operator()(T *p) const { Free(p); }
};
void freeContext(heif_context *c) { heif().context_free(c); }
void releaseHandle(heif_image_handle *h) { heif().image_handle_release(h); }
void releaseImage(heif_image *i) { heif().image_release(i); }
void freeOptions(heif_decoding_options *o) { heif().decoding_options_free(o); }
void freeNclx(heif_color_profile_nclx *n) { heif().nclx_color_profile_free(n); }
using Context = std::unique_ptr<heif_context, Releaser<heif_context, freeContext>>;
using Handle = std::unique_ptr<heif_image_handle, Releaser<heif_image_handle, releaseHandle>>;
using Options = std::unique_ptr<heif_decoding_options, Releaser<heif_decoding_options, freeOptions>>;
using Nclx = std::unique_ptr<heif_color_profile_nclx, Releaser<heif_color_profile_nclx, freeNclx>>;

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
    if (const size_t size = heif().image_handle_get_raw_color_profile_size(handle); size > 0) {
        QByteArray icc(qsizetype(size), Qt::Uninitialized);
        if (heif().image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
            if (const QColorSpace space = QColorSpace::fromIccProfile(icc); space.isValid())
                return space;
    }
    heif_color_profile_nclx *raw = nullptr;
    if (heif().image_handle_get_nclx_color_profile(handle, &raw).code != heif_error_Ok || !raw)
        return {};
    const Nclx nclx(raw);
    return fromNclx(*nclx);
}


// ---- What the file declares, read from its boxes before libheif decodes.

quint32 bigEndian(const uchar *p, int bytes)
{
    quint32 v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// A run of bytes read front to back; reads past its end give zeros and
// mark it spent.
struct Reader
{
    const uchar *p;
    qint64 left;
    bool overrun = false;

    quint32 take(int bytes)
    {
        if (left < bytes) {
            overrun = true;
            left = 0;
            return 0;
        }
        const quint32 v = bigEndian(p, bytes);
        p += bytes;
        left -= bytes;
        return v;
    }
    void skip(qint64 bytes)
    {
        bytes = std::min(bytes, left);
        p += bytes;
        left -= bytes;
    }
};

struct Box
{
    QByteArray type;
    Reader body;
};

// The boxes inside a range, in order; a box that claims more than the range
// holds ends the list.
QList<Box> boxes(Reader range)
{
    QList<Box> out;
    while (range.left >= 8 && out.size() < 100000) {
        const uchar *start = range.p;
        qint64 size = range.take(4);
        const QByteArray type(reinterpret_cast<const char *>(range.p), 4);
        range.skip(4);
        qint64 header = 8;
        if (size == 1) {
            const qint64 high = range.take(4);
            size = (high << 32) | range.take(4);
            header = 16;
        } else if (size == 0) {
            size = range.left + 8;
        }
        if (size < header || size - header > range.left)
            break;
        out.append({type, Reader{start + header, size - header}});
        range.skip(size - header);
    }
    return out;
}

Box child(const QList<Box> &list, const char *type)
{
    for (const Box &b : list)
        if (b.type == type)
            return b;
    return {QByteArray(), Reader{nullptr, 0}};
}

// The coded size in an HEVC sequence parameter set (a NAL unit with its
// two-byte header), or an empty size when it cannot be read.
QSize spsSize(const uchar *nal, qint64 length)
{
    QByteArray rbsp;   // without the emulation prevention bytes; the sizes come early
    for (qint64 i = 2; i < length && rbsp.size() < 256; ++i) {
        if (i >= 4 && nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0)
            continue;
        rbsp += char(nal[i]);
    }
    qint64 bit = 0;
    const qint64 bits = rbsp.size() * 8;
    const auto read = [&](int n) {
        quint32 v = 0;
        for (int i = 0; i < n; ++i, ++bit)
            v = (v << 1) | (bit < bits ? (uchar(rbsp[bit / 8]) >> (7 - bit % 8)) & 1 : 0);
        return v;
    };
    const auto golomb = [&]() -> qint64 {
        int zeros = 0;
        while (bit < bits && read(1) == 0)
            if (++zeros > 31)
                return -1;
        return (qint64(1) << zeros) - 1 + read(zeros);
    };
    read(4);
    const int subLayers = int(read(3));
    read(1);
    read(96);   // the general profile, tier and level
    bool profile[8] = {}, level[8] = {};
    for (int i = 0; i < subLayers; ++i) {
        profile[i] = read(1);
        level[i] = read(1);
    }
    if (subLayers > 0)
        read(2 * (8 - subLayers));
    for (int i = 0; i < subLayers; ++i)
        read((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
    golomb();   // its id
    if (golomb() == 3)
        read(1);
    const qint64 width = golomb(), height = golomb();
    if (bit > bits || width < 1 || height < 1 || width > 65535 || height > 65535)
        return {};
    return QSize(int(width), int(height));
}

// The coded size given by the sequence parameter set of an hvcC box.
QSize hvccSize(Reader hvcc)
{
    hvcc.skip(22);
    const int arrays = int(hvcc.take(1));
    for (int a = 0; a < arrays && !hvcc.overrun; ++a) {
        const int type = int(hvcc.take(1) & 0x3F);
        const int count = int(hvcc.take(2));
        for (int n = 0; n < count && !hvcc.overrun; ++n) {
            const int length = int(hvcc.take(2));
            if (type == 33 && length <= hvcc.left)
                return spsSize(hvcc.p, length);
            hvcc.skip(length);
        }
    }
    return {};
}

struct Item
{
    QByteArray type;
    QSize declared;   // its ispe box
    QSize coded;      // the sequence parameter set of its hvcC box
    bool hasConfig = false;
};

// The items of a HEIF file and what the primary one is made of.
struct Layout
{
    QMap<quint32, Item> items;
    QMap<quint32, QList<quint32>> parts;   // what each derived picture (a grid, an overlay) is made of
};

Layout layout(const QByteArray &file)
{
    Layout out;
    const Box meta = child(boxes(Reader{reinterpret_cast<const uchar *>(file.constData()), file.size()}), "meta");
    Reader metaBody = meta.body;
    metaBody.skip(4);
    const QList<Box> inMeta = boxes(metaBody);

    Reader iinf = child(inMeta, "iinf").body;
    const quint32 iinfVersion = iinf.take(1);
    iinf.skip(3);
    iinf.take(iinfVersion == 0 ? 2 : 4);
    for (Box infe : boxes(iinf)) {
        if (infe.type != "infe")
            continue;
        const quint32 version = infe.body.take(1);
        infe.body.skip(3);
        if (version < 2)
            continue;
        const quint32 id = infe.body.take(version == 2 ? 2 : 4);
        infe.body.skip(2);
        out.items[id].type = QByteArray(reinterpret_cast<const char *>(infe.body.p), std::min<qint64>(infe.body.left, 4));
    }

    Reader iref = child(inMeta, "iref").body;
    const int idBytes = iref.take(1) == 0 ? 2 : 4;
    iref.skip(3);
    for (Box ref : boxes(iref)) {
        const quint32 from = ref.body.take(idBytes);
        const int count = int(ref.body.take(2));
        for (int i = 0; i < count && !ref.body.overrun; ++i) {
            const quint32 to = ref.body.take(idBytes);
            if (ref.type == "dimg")
                out.parts[from].append(to);
        }
    }

    const QList<Box> iprp = boxes(child(inMeta, "iprp").body);
    const QList<Box> properties = boxes(child(iprp, "ipco").body);
    Reader ipma = child(iprp, "ipma").body;
    const quint32 ipmaVersion = ipma.take(1);
    const bool wideIndex = ipma.take(3) & 1;
    const quint32 entries = ipma.take(4);
    for (quint32 e = 0; e < entries && !ipma.overrun; ++e) {
        const quint32 id = ipma.take(ipmaVersion < 1 ? 2 : 4);
        const int count = int(ipma.take(1));
        for (int a = 0; a < count && !ipma.overrun; ++a) {
            const int index = int(ipma.take(wideIndex ? 2 : 1) & (wideIndex ? 0x7FFF : 0x7F));
            if (index < 1 || index > properties.size())
                continue;
            Box property = properties[index - 1];
            Item &item = out.items[id];
            if (property.type == "ispe") {
                property.body.skip(4);
                const quint32 w = property.body.take(4), h = property.body.take(4);
                item.declared = QSize(int(std::min<quint32>(w, 1 << 30)), int(std::min<quint32>(h, 1 << 30)));
            } else if (property.type == "hvcC") {
                item.hasConfig = true;
                item.coded = hvccSize(property.body);
            }
        }
    }
    return out;
}

QString sizeText(QSize s)
{
    return QStringLiteral("%1 x %2").arg(s.width()).arg(s.height());
}

// Refuses a file whose coded pictures are larger than it declares them, or
// whose grids have more tiles, or larger ones, than their pictures need;
// read before libheif reads the file, which takes long over many tiles.
// Gives the size of the largest tile (an empty one when there is no grid).
QSize checkLayout(const QByteArray &file)
{
    const Layout l = layout(file);
    for (const Item &item : l.items) {
        if (item.type != "hvc1")
            continue;
        if (!item.hasConfig || item.declared.isEmpty() || item.coded.isEmpty())
            invalidPicture(QStringLiteral("a coded picture without its size"));
        // Coded sizes are whole blocks of up to 64 pixels.
        const QSize allowed((item.declared.width() + 63) / 64 * 64, (item.declared.height() + 63) / 64 * 64);
        if (item.coded.width() > allowed.width() || item.coded.height() > allowed.height())
            invalidPicture(QStringLiteral("a picture declared as %1 is coded as %2")
                               .arg(sizeText(item.declared), sizeText(item.coded)));
    }
    qsizetype parts = 0;
    for (const QList<quint32> &p : l.parts)
        parts += p.size();
    if (parts > MaxTiles)
        invalidPicture(QStringLiteral("a grid of %1 tiles; at most %2 are read").arg(parts).arg(MaxTiles));
    QSize largest;
    for (auto grid = l.parts.cbegin(); grid != l.parts.cend(); ++grid) {
        const Item picture = l.items.value(grid.key());
        if (picture.type != "grid")
            continue;
        if (picture.declared.isEmpty())
            invalidPicture(QStringLiteral("a grid without its size"));
        QSize tiles;
        qint64 tilePixels = 0;
        for (quint32 id : grid.value()) {
            const QSize tile = l.items.value(id).declared;
            tiles = tiles.expandedTo(tile);
            tilePixels += qint64(tile.width()) * tile.height();
        }
        // Tiles that cover the picture overlap its edges by less than a tile.
        const QSize p = picture.declared;
        if (tilePixels > qint64(p.width() + tiles.width()) * (p.height() + tiles.height()))
            invalidPicture(QStringLiteral("%1 tiles of up to %2 for a picture of %3")
                               .arg(grid.value().size())
                               .arg(sizeText(tiles), sizeText(p)));
        largest = largest.expandedTo(tiles);
    }
    return largest;
}

// ---- Tiles decoded one at a time on the loading thread, which may stop
// between them: libheif's HEVC decoder wrapped in one that asks first, and
// that refuses a stream whose own parameter sets give it another size than
// its configuration box (checked above) does.

thread_local const std::function<bool()> *t_cancelled = nullptr;
thread_local QString t_refusal;
const heif_decoder_plugin *hevc = nullptr;

struct Stream
{
    void *decoder = nullptr;
    QSize coded;      // by its first sequence parameter set, its configuration's
    bool disagrees = false;
    QSize otherwise;  // by a later one that disagrees (invalid when unreadable)
};

int wrappedPriority(heif_compression_format format)
{
    return format == heif_compression_HEVC ? hevc->does_support_format(format) + 1 : 0;
}

heif_error newStream(void **decoder)
{
    auto stream = std::make_unique<Stream>();
    const heif_error error = hevc->new_decoder(&stream->decoder);
    if (error.code == heif_error_Ok)
        *decoder = stream.release();
    return error;
}

void freeStream(void *decoder)
{
    const std::unique_ptr<Stream> stream(static_cast<Stream *>(decoder));
    hevc->free_decoder(stream->decoder);
}

void setStrict(void *decoder, int strict)
{
    hevc->set_strict_decoding(static_cast<Stream *>(decoder)->decoder, strict);
}

// libheif pushes units each behind four bytes of length.
heif_error pushUnits(void *decoder, const void *data, size_t size)
{
    Stream &stream = *static_cast<Stream *>(decoder);
    Reader units{static_cast<const uchar *>(data), qint64(size)};
    while (units.left > 4) {
        const qint64 length = units.take(4);
        if (length > units.left)
            break;
        if (length > 2 && ((units.p[0] >> 1) & 0x3F) == 33) {
            const QSize coded = spsSize(units.p, length);
            if (stream.coded.isEmpty())
                stream.coded = coded;
            else if (coded != stream.coded)
                stream.disagrees = true, stream.otherwise = coded;
        }
        units.skip(length);
    }
    return hevc->push_data(stream.decoder, data, size);
}

heif_error decodeStream(void *decoder, heif_image **image)
{
    const Stream &stream = *static_cast<Stream *>(decoder);
    if (t_cancelled && *t_cancelled && (*t_cancelled)())
        return {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, "cancelled"};
    if (stream.disagrees) {
        t_refusal = QStringLiteral("a picture coded both as %1 and as %2")
                        .arg(sizeText(stream.coded),
                             stream.otherwise.isValid() ? sizeText(stream.otherwise) : QStringLiteral("an unreadable size"));
        return {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, "sizes disagree"};
    }
    return hevc->decode_image(stream.decoder, image);
}

bool registerCancellableDecoder()
{
    const heif_decoder_descriptor *found[4] = {};
    const int count = heif().get_decoder_descriptors(heif_compression_HEVC, found, 4);
    if (count < 1)
        return false;
    // libheif's descriptors are its decoder plugins.
    hevc = reinterpret_cast<const heif_decoder_plugin *>(found[0]);
    if (hevc->plugin_api_version < 1 || std::strcmp(hevc->get_plugin_name(), heif().decoder_descriptor_get_name(found[0])) != 0)
        return false;
    static heif_decoder_plugin wrapped = *hevc;
    wrapped.plugin_api_version = std::min(hevc->plugin_api_version, 3);
    wrapped.init_plugin = nullptr;
    wrapped.deinit_plugin = nullptr;
    wrapped.does_support_format = wrappedPriority;
    wrapped.new_decoder = newStream;
    wrapped.free_decoder = freeStream;
    wrapped.push_data = pushUnits;
    wrapped.decode_image = decodeStream;
    if (wrapped.plugin_api_version >= 2)
        wrapped.set_strict_decoding = hevc->set_strict_decoding ? setStrict : nullptr;
    if (wrapped.plugin_api_version >= 3)
        wrapped.id_name = "quillmoss-hevc";
    return heif().register_decoder_plugin(&wrapped).code == heif_error_Ok;
}

} // namespace

bool IsHeif(const QByteArray &file)
{
    // Only a file that starts with an ISO box of file types is worth
    // opening libheif for.
    if (file.mid(4, 4) != "ftyp")
        return false;
    // A file branded only "mif1" (many cameras write that) may hold HEIC
    // or AVIF: libheif tells when it reads it.
    const heif_filetype_result type
        = heif().check_filetype(reinterpret_cast<const uint8_t *>(file.constData()), int(std::min<qsizetype>(file.size(), 64)));
    return type == heif_filetype_yes_supported || type == heif_filetype_maybe;
}

namespace {

struct Primary
{
    Handle handle;
    QSize tile;   // the largest, when the picture is a grid
};

// The file's primary picture; its size is the size after rotation.
Primary primary(const Context &context, const QByteArray &file)
{
    static const bool initialised = [] {
        if (heif().init(nullptr).code != heif_error_Ok)
            return false;
        registerCancellableDecoder();
        return true;
    }();
    if (!initialised)
        invalidPicture();
    if (!context)
        throw AppError(AppError::OutOfMemory, kSource);
    const QSize tile = checkLayout(file);
    check(heif().context_read_from_memory_without_copy(context.get(), file.constData(), size_t(file.size()), nullptr));
    heif_image_handle *rawHandle = nullptr;
    check(heif().context_get_primary_image_handle(context.get(), &rawHandle));
    Handle handle(rawHandle);
    if (heif().image_handle_get_width(handle.get()) < 1 || heif().image_handle_get_height(handle.get()) < 1)
        invalidPicture();
    return {std::move(handle), tile};
}

} // namespace

QSize Size(const QByteArray &file)
{
    const Context context(heif().context_alloc());
    const Handle handle = primary(context, file).handle;
    return {heif().image_handle_get_width(handle.get()), heif().image_handle_get_height(handle.get())};
}

namespace {

// The decoder's many planes and tiles, once freed, would otherwise stay
// with the process while the next large arrays are allocated beside them.
void trimFreed()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

QImage decode(const QByteArray &file, const SizeCheck &checkSize, const std::function<bool()> &cancelled)
{
    const Context context(heif().context_alloc());
    const auto [handle, tile] = primary(context, file);
    const int width = heif().image_handle_get_width(handle.get()), height = heif().image_handle_get_height(handle.get());
    const bool alpha = heif().image_handle_has_alpha_channel(handle.get());

    // libheif's planes take one byte a sample, two when deeper than 8 bits;
    // its interleaved copy and ours take 4 bytes a pixel each. A grid is
    // built in planes of its own size, each tile decoded (planes in YCbCr
    // and in RGB) into a copy of its own.
    const qint64 sample = heif().image_handle_get_luma_bits_per_pixel(handle.get()) > 8 ? 2 : 1;
    const qint64 pixels = qint64(width) * height, tilePixels = qint64(tile.width()) * tile.height();
    const qint64 planes = (tile.isEmpty() ? 0 : 3 * sample) + (alpha ? sample : 0);
    checkSize(QSize(width, height), std::max<qint64>(8, planes + 4) * pixels + 5 * sample * tilePixels);

    const Options options(heif().decoding_options_alloc());
    if (!options)
        throw AppError(AppError::OutOfMemory, kSource);
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = 1;
    heif().context_set_max_decoding_threads(context.get(), 0);
    t_cancelled = &cancelled;
    t_refusal.clear();
    heif_image *decoded = nullptr;
    const heif_error error = heif().decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                                               alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
    t_cancelled = nullptr;
    const std::unique_ptr<heif_image, Releaser<heif_image, releaseImage>> image(decoded);
    if (cancelled && cancelled())
        throw AppError(Picture::LoadCancelled, kSource, QStringLiteral("The load was cancelled"));
    if (!t_refusal.isEmpty())
        invalidPicture(t_refusal);
    check(error);
    trimFreed();
    int stride = 0;
    const uint8_t *rowData = heif().image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!rowData || heif().image_get_width(image.get(), heif_channel_interleaved) != width
        || heif().image_get_height(image.get(), heif_channel_interleaved) != height)
        invalidPicture();

    // Wraps libheif's rows; the conversion makes the one copy we keep.
    const QImage rows(rowData, width, height, stride, alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
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

} // namespace

QImage LoadHeif(const QByteArray &file, const SizeCheck &checkSize, const std::function<bool()> &cancelled)
{
    QImage picture = decode(file, checkSize, cancelled);
    trimFreed();
    return picture;
}

} // namespace HeifPicture
