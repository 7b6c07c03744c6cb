#pragma once

// Small files made to hurt: a few hundred bytes that claim pictures of
// gigabytes, or cost minutes to decode. Shared by the engine tests and the
// slow tests, which measure what each costs a real process.

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <cstring>
#include <libheif/heif.h>
#include <tuple>
#include <vector>

namespace Crafted {

// v as `bytes` bytes, little- or big-endian.
inline QByteArray le(qint64 v, int bytes)
{
    QByteArray b;
    for (int i = 0; i < bytes; ++i)
        b += char((v >> (8 * i)) & 0xFF);
    return b;
}

inline QByteArray be(qint64 v, int bytes)
{
    QByteArray b = le(v, bytes);
    std::reverse(b.begin(), b.end());
    return b;
}

inline qsizetype be16(const QByteArray &b, qsizetype at) { return qsizetype(uchar(b[at])) << 8 | uchar(b[at + 1]); }
inline qsizetype be32(const QByteArray &b, qsizetype at) { return be16(b, at) << 16 | be16(b, at + 2); }

inline QByteArray jpegOf(const QImage &picture, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(progressive);
    writer.setQuality(90);
    writer.write(picture);
    return bytes;
}

inline QImage noise(int width, int height)
{
    QImage img(width, height, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            img.setPixel(x, y, (seed = seed * 1664525 + 1013904223) >> 8);
    return img;
}

// A JPEG whose frame claims width x height, cut `keep` bytes into its scan
// data (0: no scan data at all).
inline QByteArray hugeJpeg(int width, int height, int keep)
{
    QByteArray b = jpegOf(noise(16, 16), false);
    b.replace(b.indexOf("\xFF\xC0") + 5, 4, be(height, 2) + be(width, 2));
    const qsizetype sos = b.indexOf("\xFF\xDA");
    return b.left(sos + 2 + be16(b, sos + 2) + keep) + "\xFF\xD9";
}

// A progressive JPEG of a flat picture whose last scan (a few bytes: one
// run of empty blocks, but a pass over every block) is repeated until it
// has `scans` of them.
inline QByteArray scanBomb(int side, int scans)
{
    QImage flat(side, side, QImage::Format_RGB32);
    flat.fill(qRgb(90, 120, 150));
    const QByteArray b = jpegOf(flat, true);
    const qsizetype last = b.lastIndexOf("\xFF\xDA"), end = b.lastIndexOf("\xFF\xD9");
    const int have = int(b.count("\xFF\xDA"));
    return b.left(end) + b.mid(last, end - last).repeated(std::max(scans - have, 0)) + "\xFF\xD9";
}

// A BMP of the given depth (24, 8, 4, or 16 with the given channel masks)
// and size; a negative height stores the rows top-down. The pixel data
// hold at most `rows` rows (fewer than the header claims makes a bomb).
// Pixels: palette entry / value `fill` in the first stored row, 0 in the
// others; palette of grey levels.
inline QByteArray bmp(int bits, int width, int height, quint32 fill, int rows = -1, std::vector<quint32> masks = {})
{
    const int stride = (width * bits + 31) / 32 * 4, colours = bits <= 8 ? 1 << bits : 0;
    QByteArray row = bits == 4 ? QByteArray((width + 1) / 2, char(fill * 17)) : le(fill, bits / 8).repeated(width);
    row += QByteArray(stride - row.size(), '\0');
    const int stored = rows < 0 ? std::abs(height) : rows;
    const QByteArray pixels = stored ? row + QByteArray(qsizetype(stride) * (stored - 1), '\0') : QByteArray();
    QByteArray tables;
    for (quint32 m : masks)
        tables += le(m, 4);
    for (int i = 0; i < colours; ++i)
        tables += QByteArray(3, char(i * 255 / (colours - 1))) + '\0';
    const qsizetype start = 14 + 40 + tables.size();
    return "BM" + le(start + pixels.size(), 4) + le(0, 4) + le(start, 4) + le(40, 4) + le(width, 4) + le(height, 4)
         + le(1, 2) + le(bits, 2) + le(masks.empty() ? 0 : 3, 4) + le(pixels.size(), 4) + le(2835, 4) + le(2835, 4)
         + le(colours, 4) + le(0, 4) + tables + pixels;
}

// A GIF whose logical screen is width x height with a 1 x 1 first frame.
inline QByteArray gifScreen(int width, int height)
{
    return "GIF89a" + le(width, 2) + le(height, 2) + QByteArray("\x80\x00\x00", 3)
         + QByteArray("\x00\x00\x00\xFF\xFF\xFF", 6)                 // two colours
         + QByteArray("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10) // a 1 x 1 frame
         + QByteArray("\x02\x02\x44\x01\x00\x3B", 6);                 // its pixel, the end
}

// A TIFF of width x height pixels, `samples` channels of `bits` each
// (sampleFormat 1 unsigned, 3 floating point), one row a strip, every strip
// pointing at the same deflated row of zeros at the end: a few bytes a row.
// Grey or RGB, or CMYK inks with `cmyk`.
inline QByteArray tiff(int width, int height, int samples, int bits, int sampleFormat, bool cmyk = false)
{
    const QByteArray row = qCompress(QByteArray(qsizetype(width) * samples * bits / 8, '\0'), 9).mid(4);
    const auto shorts = [&](int v) { return le(v, 2).repeated(samples); };
    // Tag, type (3 short, 4 long), count, values.
    std::vector<std::tuple<int, int, int, QByteArray>> entries = {
        {256, 4, 1, le(width, 4)}, {257, 4, 1, le(height, 4)}, {258, 3, samples, shorts(bits)}, {259, 3, 1, le(8, 2)},
        {262, 3, 1, le(cmyk ? 5 : samples >= 3 ? 2 : 1, 2)}, {273, 4, height, {}}, {277, 3, 1, le(samples, 2)},
        {278, 4, 1, le(1, 4)}, {279, 4, height, le(row.size(), 4).repeated(height)}, {284, 3, 1, le(1, 2)},
    };
    if (!cmyk && (samples == 4 || samples == 2))
        entries.push_back({338, 3, 1, le(2, 2)});
    entries.push_back({339, 3, samples, shorts(sampleFormat)});
    const qsizetype arrays = 8 + 2 + 12 * qsizetype(entries.size()) + 4;
    qsizetype rowAt = arrays + (height > 1 ? 4 * height : 0);
    for (const auto &e : entries)
        rowAt += std::get<3>(e).size() > 4 ? std::get<3>(e).size() : 0;
    std::get<3>(entries[5]) = le(rowAt, 4).repeated(height);
    QByteArray ifd = le(qint64(entries.size()), 2), data;
    for (const auto &[tag, type, count, values] : entries) {
        ifd += le(tag, 2) + le(type, 2) + le(count, 4) + (values.size() > 4 ? le(arrays + data.size(), 4) : values.leftJustified(4, '\0'));
        data += values.size() > 4 ? values : QByteArray();
    }
    return QByteArray("II*\0", 4) + le(8, 4) + ifd + le(0, 4) + data + row;
}

// A 16-bit RGBA PNG of width x height transparent black pixels.
inline QByteArray png16(int width, int height)
{
    const auto chunk = [](const QByteArray &type, const QByteArray &body) {
        const QByteArray b = type + body;
        quint32 crc = 0xFFFFFFFF;
        for (char c : b) {
            crc ^= uchar(c);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
        return be(body.size(), 4) + b + be(~crc, 4);
    };
    const QByteArray header = be(width, 4) + be(height, 4) + "\x10\x06" + QByteArray(3, '\0');   // 16 bits, RGBA
    const QByteArray rows = qCompress(QByteArray((qsizetype(width) * 8 + 1) * height, '\0'), 9).mid(4);
    return "\x89PNG\r\n\x1A\n" + chunk("IHDR", header) + chunk("IDAT", rows) + chunk("IEND", {});
}

// An animated WebP whose canvas is width x height, with `frames` frames of
// 1 x 1 pixel.
inline QByteArray animatedWebp(int width, int height, int frames)
{
    // One pixel, lossless, as libwebp writes it.
    const QByteArray pixel = QByteArray::fromHex("5650384c110000002f0000000007508e7e16bcff8188e87f0000");
    const auto chunk = [](const char *type, const QByteArray &body) {
        return type + le(body.size(), 4) + body + QByteArray(body.size() % 2, '\0');
    };
    const QByteArray body = "WEBP" + chunk("VP8X", le(2, 4) + le(width - 1, 3) + le(height - 1, 3))
                          + chunk("ANIM", le(0xFFFFFFFF, 4) + le(0, 2))
                          + chunk("ANMF", QByteArray(12, '\0') + le(100, 3) + '\0' + pixel).repeated(frames);
    return "RIFF" + le(body.size(), 4) + body;
}

enum class Profile { None, Icc, Nclx };

// The picture as libheif writes it into a HEIC file: stored as given,
// marked with the orientation to show it in, tagged Display P3 if asked.
inline QByteArray heic(const QImage &picture, heif_orientation orientation = heif_orientation_normal,
                       Profile profile = Profile::None)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_image *image = nullptr;
    heif_image_create(picture.width(), picture.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, picture.width(), picture.height(), 8);
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
    heif_context_encode_image(context, image, encoder, options, nullptr);
    QByteArray file;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *out) {
                           static_cast<QByteArray *>(out)->append(static_cast<const char *>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context, &writer, &file);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return file;
}

inline QByteArray box(const char *type, const QByteArray &body) { return be(8 + body.size(), 4) + type + body; }
inline QByteArray fullBox(const char *type, int version, const QByteArray &body)
{
    return box(type, char(version) + QByteArray(3, '\0') + body);
}

// An HEVC picture of side x side grey pixels, as libheif writes it: its
// hvcC box and its coded data.
struct Hevc
{
    QByteArray config, data;
};

inline Hevc hevc(int side)
{
    QImage grey(side, side, QImage::Format_RGB32);
    grey.fill(qRgb(128, 128, 128));
    const QByteArray file = heic(grey);
    const auto boxOf = [&](const char *type) { const qsizetype at = file.indexOf(type) - 4; return file.mid(at, be32(file, at)); };
    return {boxOf("hvcC"), boxOf("mdat").mid(8)};
}

// The sequence parameter set of an hvcC box behind four bytes of its
// length, as it would stand in the coded data. libheif writes one unit an
// array, each array a type, a count and the unit behind its length.
inline QByteArray spsUnit(const QByteArray &config)
{
    qsizetype at = 8 + 23;
    while ((uchar(config[at]) & 0x3F) != 33)
        at += 5 + be16(config, at + 3);
    return be(be16(config, at + 3), 4) + config.mid(at + 5, be16(config, at + 3));
}

// A HEIF file whose primary picture is the coded picture (rows == 0) or a
// grid of rows x columns tiles making up a picture of `picture` pixels;
// every tile is the same coded picture, declared as `declared` pixels.
inline QByteArray heif(const Hevc &coded, QSize declared, int rows = 0, int columns = 0, QSize picture = {})
{
    const bool grid = rows * columns > 0;
    const int items = grid ? rows * columns + 1 : 1;
    const QByteArray gridData = be(0, 2) + char(rows - 1) + char(columns - 1) + be(picture.width(), 2) + be(picture.height(), 2);
    const auto ispe = [](QSize s) { return fullBox("ispe", 0, be(s.width(), 4) + be(s.height(), 4)); };
    const auto meta = [&](qsizetype mdat) {
        QByteArray infe, iloc, ipma, tiles;
        for (int id = 1; id <= items; ++id) {
            const bool isGrid = grid && id == 1;   // properties: 1 hvcC, 2 ispe of a tile, 3 ispe of the grid
            infe += box("infe", be(0x02000000 | (grid && !isGrid), 4) + be(id, 2) + be(0, 2) + (isGrid ? "grid" : "hvc1") + '\0');
            iloc += be(id, 2) + be(0, 2) + be(1, 2) + be(mdat + (grid && !isGrid ? gridData.size() : 0), 4)
                  + be(isGrid ? gridData.size() : coded.data.size(), 4);
            ipma += be(id, 2) + (isGrid ? QByteArray("\x01\x83", 2) : QByteArray("\x02\x81\x02", 3));
            tiles += id > 1 ? be(id, 2) : QByteArray();
        }
        return fullBox("meta", 0, fullBox("hdlr", 0, be(0, 4) + "pict" + QByteArray(13, '\0')) + fullBox("pitm", 0, be(1, 2))
                                      + fullBox("iinf", 0, be(items, 2) + infe) + fullBox("iloc", 0, be(0x4400, 2) + be(items, 2) + iloc)
                                      + (grid ? fullBox("iref", 0, box("dimg", be(1, 2) + be(items - 1, 2) + tiles)) : QByteArray())
                                      + box("iprp", box("ipco", coded.config + ispe(declared) + ispe(picture))
                                                        + fullBox("ipma", 0, be(items, 4) + ipma)));
    };
    const QByteArray ftyp = box("ftyp", QByteArray("heic") + be(0, 4) + "mif1heic");
    return ftyp + meta(ftyp.size() + meta(0).size() + 8) + box("mdat", (grid ? gridData : QByteArray()) + coded.data);
}

struct Case
{
    const char *file;
    QByteArray bytes;
    int number = 0;           // the error that refuses it
    const char *cause = "";   // and what its description names
};

// The bombs: each must be refused within 1 GiB and a few seconds.
inline std::vector<Case> bombs()
{
    const Hevc small = hevc(64), tile = hevc(512);
    return {
        {"no-scan.jpg", hugeJpeg(16384, 16384, 0), 481, "no image data"},
        {"truncated.jpg", hugeJpeg(16384, 16384, 20), 7, "16384 x 16384"},
        {"huge.bmp", bmp(24, 16384, 16384, 0x808080, 0) + QByteArray(64, '\x80'), 7, "16384 x 16384"},
        {"screen.gif", gifScreen(16384, 16383), 7, "16384 x 16383"},
        {"scans.jpg", scanBomb(512, 3000), 481, "more than 500 scans"},
        // 16 bytes a pixel as Qt decodes it.
        {"float.tif", tiff(8000, 8000, 3, 32, 3), 7, "8000 x 8000"},
        {"canvas.webp", animatedWebp(16384, 16384, 1), 7, "16384 x 16384"},
        // libtiff's own words for what it cannot read.
        {"cut-cmyk.tif", tiff(8700, 8700, 4, 16, 1, true).chopped(8), 481, "Read error"},
        {"float-cmyk.tif", tiff(64, 64, 4, 32, 3, true), 481, "can not handle"},
        {"wide.tif", tiff(64, 64, 3, 64, 1), 481, "can not handle"},
        {"cut.png", png16(64, 64).chopped(20), 481, "Read Error"},
        {"declared.heic", heif(small, QSize(30000, 30000)), 7, "30000 x 30000"},
        // Coded larger than declared, as the picture or as the tiles of a
        // grid, in the configuration or in the coded data.
        {"coded.heic", heif(tile, QSize(64, 64)), 481, "declared as 64 x 64 is coded as 512 x 512"},
        {"tiles.heic", heif(tile, QSize(64, 64), 2, 2, QSize(128, 128)), 481, "declared as 64 x 64 is coded as 512 x 512"},
        {"in-band.heic", heif({small.config, spsUnit(tile.config) + small.data}, QSize(64, 64)), 481, "and as 512 x 512"},
        {"grid.heic", heif(small, QSize(64, 64), 100, 100, QSize(6400, 6400)), 481, "a grid of 10000 tiles"},
        {"big-tiles.heic", heif(tile, QSize(512, 512), 8, 8, QSize(512, 512)), 481, "64 tiles of up to 512 x 512"},
    };
}

} // namespace Crafted
