#pragma once

// Small files made to hurt: a few hundred bytes that claim pictures of
// gigabytes, or cost minutes to decode. Shared by the engine tests and the
// slow tests, which measure what each costs a real process.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <cstring>
#include <libheif/heif.h>
#include <vector>

namespace Crafted {

inline void put16be(QByteArray &b, qsizetype at, int v)
{
    b[at] = char((v >> 8) & 0xFF);
    b[at + 1] = char(v & 0xFF);
}

// v as `bytes` little-endian bytes.

inline QByteArray le(quint32 v, int bytes)
{
    QByteArray b;
    for (int i = 0; i < bytes; ++i)
        b += char((v >> (8 * i)) & 0xFF);
    return b;
}

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
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525 + 1013904223;
            img.setPixel(x, y, seed >> 8);
        }
    return img;
}

// A JPEG whose frame claims width x height, cut `keep` bytes into its scan
// data (0: no scan data at all).
inline QByteArray hugeJpeg(int width, int height, int keep)
{
    QByteArray b = jpegOf(noise(16, 16), false);
    const qsizetype sof = b.indexOf("\xFF\xC0");
    put16be(b, sof + 5, height);
    put16be(b, sof + 7, width);
    const qsizetype sos = b.indexOf("\xFF\xDA");
    const int length = (uchar(b[sos + 2]) << 8) | uchar(b[sos + 3]);
    return b.left(sos + 2 + length + keep) + "\xFF\xD9";
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
// Pixels: palette entry / value `fill` everywhere, palette of grey levels.
inline QByteArray bmp(int bits, int width, int height, quint32 fill, int rows = -1,
                      std::vector<quint32> masks = {})
{
    const int absHeight = height < 0 ? -height : height;
    const int stride = ((width * bits + 31) / 32) * 4;
    const int colours = bits <= 8 ? (1 << bits) : 0;
    const int header = 40 + 4 * int(masks.size());
    QByteArray pixels;
    for (int y = 0; y < (rows < 0 ? absHeight : rows); ++y) {
        QByteArray row(stride, '\0');
        for (int x = 0; x < width; ++x) {
            if (bits == 24) {
                row[3 * x] = char(fill & 0xFF);
                row[3 * x + 1] = char((fill >> 8) & 0xFF);
                row[3 * x + 2] = char((fill >> 16) & 0xFF);
            } else if (bits == 16) {
                row[2 * x] = char(fill & 0xFF);
                row[2 * x + 1] = char(fill >> 8);
            } else if (bits == 8) {
                row[x] = char(fill);
            } else {
                row[x / 2] = char(row[x / 2] | (x % 2 ? fill : fill << 4));
            }
        }
        pixels += row;
    }
    QByteArray palette;
    for (int i = 0; i < colours; ++i) {
        const char v = char(i * 255 / (colours - 1));
        palette += QByteArray(3, v) + '\0';
    }
    QByteArray b = "BM" + le(quint32(14 + header + palette.size() + pixels.size()), 4) + le(0, 4)
                 + le(quint32(14 + header + palette.size()), 4);
    b += le(40, 4) + le(quint32(width), 4) + le(quint32(height), 4) + le(1, 2) + le(quint32(bits), 2)
       + le(masks.empty() ? 0 : 3, 4) + le(quint32(pixels.size()), 4) + le(2835, 4) + le(2835, 4)
       + le(quint32(colours), 4) + le(0, 4);
    for (quint32 m : masks)
        b += le(m, 4);
    return b + palette + pixels;
}

// A GIF whose logical screen is width x height with a 1 x 1 first frame.
inline QByteArray gifScreen(int width, int height)
{
    return "GIF89a" + le(quint32(width), 2) + le(quint32(height), 2) + QByteArray("\x80\x00\x00", 3)
         + QByteArray("\x00\x00\x00\xFF\xFF\xFF", 6)                 // two colours
         + QByteArray("\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10) // a 1 x 1 frame
         + QByteArray("\x02\x02\x44\x01\x00\x3B", 6);                 // its pixel, the end
}

// A TIFF of width x height pixels, `samples` channels of `bits` each
// (sampleFormat 1 unsigned, 3 floating point), one row a strip, every strip
// pointing at the same deflated row of zeros: a few bytes a row. Grey or
// RGB, or CMYK inks with `cmyk`.
inline QByteArray tiff(int width, int height, int samples, int bits, int sampleFormat, bool cmyk = false)
{
    const QByteArray row = qCompress(QByteArray(qsizetype(width) * samples * bits / 8, '\0'), 9).mid(4);
    struct Entry { quint16 tag, type; quint32 count; QByteArray values; };
    const auto shorts = [&](quint32 v) { return le(v, 2).repeated(samples); };
    std::vector<Entry> entries = {
        {256, 4, 1, le(quint32(width), 4)}, {257, 4, 1, le(quint32(height), 4)},
        {258, 3, quint32(samples), shorts(quint32(bits))}, {259, 3, 1, le(8, 2)},
        {262, 3, 1, le(cmyk ? 5 : samples >= 3 ? 2 : 1, 2)}, {273, 4, quint32(height), {}},
        {277, 3, 1, le(quint32(samples), 2)}, {278, 4, 1, le(1, 4)},
        {279, 4, quint32(height), le(quint32(row.size()), 4).repeated(height)}, {284, 3, 1, le(1, 2)},
    };
    if (!cmyk && (samples == 4 || samples == 2))
        entries.push_back({338, 3, 1, le(2, 2)});
    entries.push_back({339, 3, quint32(samples), shorts(quint32(sampleFormat))});
    const quint32 ifdEnd = 8 + 2 + 12 * quint32(entries.size()) + 4;
    // The strips' offsets are known once the other arrays are placed.
    quint32 at = ifdEnd;
    for (const Entry &e : entries)
        if (e.tag != 273 && e.values.size() > 4)
            at += quint32(e.values.size());
    const quint32 stripOffsets = at, block = at + 4 * quint32(height);
    entries[5].values = le(block, 4).repeated(height);
    QByteArray ifd = le(quint32(entries.size()), 2), data;
    QByteArray offsetsArray;
    at = ifdEnd;
    for (const Entry &e : entries) {
        ifd += le(e.tag, 2) + le(e.type, 2) + le(e.count, 4);
        if (e.values.size() <= 4) {
            ifd += e.values + QByteArray(4 - e.values.size(), '\0');
        } else if (e.tag == 273) {
            ifd += le(stripOffsets, 4);
            offsetsArray = e.values;
        } else {
            ifd += le(at, 4);
            data += e.values;
            at += quint32(e.values.size());
        }
    }
    return QByteArray("II*\0", 4) + le(8, 4) + ifd + le(0, 4) + data + offsetsArray + row;
}

// A 16-bit RGBA PNG of width x height transparent black pixels.
inline QByteArray png16(int width, int height)
{
    const auto chunk = [](const QByteArray &type, const QByteArray &body) {
        QByteArray b = type + body;
        quint32 crc = 0xFFFFFFFF;
        for (char c : b) {
            crc ^= uchar(c);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
        const auto be = [](quint32 v) {
            QByteArray four(4, '\0');
            put16be(four, 0, int(v >> 16));
            put16be(four, 2, int(v & 0xFFFF));
            return four;
        };
        return be(quint32(body.size())) + b + be(~crc);
    };
    QByteArray header(13, '\0');
    put16be(header, 2, width);
    put16be(header, 6, height);
    header[8] = 16;   // bits a channel
    header[9] = 6;    // RGBA
    const QByteArray rows = qCompress(QByteArray((qsizetype(width) * 8 + 1) * height, '\0'), 9).mid(4);
    return "\x89PNG\r\n\x1A\n" + chunk("IHDR", header) + chunk("IDAT", rows) + chunk("IEND", {});
}

// An animated WebP whose canvas is width x height, with `frames` frames of
// 1 x 1 pixel.
inline QByteArray animatedWebp(int width, int height, int frames)
{
    QByteArray single;
    {
        QBuffer buffer(&single);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "webp");
        writer.setQuality(100);   // lossless: a VP8L chunk
        writer.write(QImage(1, 1, QImage::Format_RGB32));
    }
    const QByteArray vp8l = single.mid(12);
    const auto chunk = [](const char *type, const QByteArray &body) {
        return QByteArray(type) + le(quint32(body.size()), 4) + body + (body.size() % 2 ? QByteArray(1, '\0') : QByteArray());
    };
    QByteArray body = "WEBP" + chunk("VP8X", QByteArray(1, 0x02) + QByteArray(3, '\0') + le(quint32(width - 1), 3)
                                                 + le(quint32(height - 1), 3))
                    + chunk("ANIM", le(0xFFFFFFFF, 4) + le(0, 2));
    const QByteArray frame = chunk("ANMF", le(0, 3) + le(0, 3) + le(0, 3) + le(0, 3) + le(100, 3) + QByteArray(1, '\0') + vp8l);
    body += frame.repeated(frames);
    return "RIFF" + le(quint32(body.size()), 4) + body;
}

inline QByteArray be(quint32 v, int bytes)
{
    QByteArray b;
    for (int i = bytes - 1; i >= 0; --i)
        b += char((v >> (8 * i)) & 0xFF);
    return b;
}

inline QByteArray box(const char *type, const QByteArray &body)
{
    return be(quint32(8 + body.size()), 4) + type + body;
}

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
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 10);
    heif_image *image = nullptr;
    heif_image_create(side, side, heif_colorspace_YCbCr, heif_chroma_420, &image);
    for (heif_channel channel : {heif_channel_Y, heif_channel_Cb, heif_channel_Cr}) {
        const int plane = channel == heif_channel_Y ? side : side / 2;
        heif_image_add_plane(image, channel, plane, plane, 8);
        int stride = 0;
        uint8_t *rows = heif_image_get_plane(image, channel, &stride);
        std::memset(rows, 128, size_t(stride) * plane);
    }
    heif_context_encode_image(context, image, encoder, nullptr, nullptr);
    QByteArray file;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *out) {
                           static_cast<QByteArray *>(out)->append(static_cast<const char *>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context, &writer, &file);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    const qsizetype config = file.indexOf("hvcC") - 4, mdat = file.indexOf("mdat") + 4;
    const auto size = [&](qsizetype at) { return qsizetype(uchar(file[at])) << 24 | uchar(file[at + 1]) << 16 | uchar(file[at + 2]) << 8 | uchar(file[at + 3]); };
    return {file.mid(config, size(config)), file.mid(mdat, size(mdat - 8) - 8)};
}

// The hvcC box with its sequence parameter set saying the picture is coded
// as width x height (one without sub-layers, as libheif writes it); that
// unit in `sps`.
inline QByteArray codedAs(const QByteArray &config, int width, int height, QByteArray *sps = nullptr)
{
    qsizetype at = 8 + 22;
    const int arrays = uchar(config[at++]);
    for (int a = 0; a < arrays; ++a) {
        const int type = uchar(config[at]) & 0x3F, count = uchar(config[at + 1]) << 8 | uchar(config[at + 2]);
        at += 3;
        for (int n = 0; n < count; ++n) {
            const int length = uchar(config[at]) << 8 | uchar(config[at + 1]);
            if (type != 33) {
                at += 2 + length;
                continue;
            }
            // The bits of the unit without emulation prevention bytes.
            std::vector<bool> bits;
            const QByteArray nal = config.mid(at + 2, length);
            for (int i = 2; i < nal.size(); ++i) {
                if (i >= 4 && nal[i] == 3 && nal[i - 1] == 0 && nal[i - 2] == 0)
                    continue;
                for (int k = 7; k >= 0; --k)
                    bits.push_back((uchar(nal[i]) >> k) & 1);
            }
            size_t pos = 8 + 96;
            const auto readGolomb = [&] {
                int zeros = 0;
                while (!bits[pos++])
                    ++zeros;
                quint32 v = 1;
                for (int k = 0; k < zeros; ++k)
                    v = v << 1 | bits[pos++];
                return v - 1;
            };
            const auto golomb = [](quint32 v) {
                std::vector<bool> out;
                const int length = 32 - __builtin_clz(v + 1);
                out.insert(out.end(), size_t(length - 1), false);
                for (int k = length - 1; k >= 0; --k)
                    out.push_back(((v + 1) >> k) & 1);
                return out;
            };
            readGolomb();   // its id
            if (readGolomb() == 3)   // 4:4:4 has a flag more
                ++pos;
            const size_t sizeAt = pos;
            readGolomb();
            readGolomb();
            std::vector<bool> rewritten(bits.begin(), bits.begin() + qsizetype(sizeAt));
            for (quint32 v : {quint32(width), quint32(height)}) {
                const std::vector<bool> g = golomb(v);
                rewritten.insert(rewritten.end(), g.begin(), g.end());
            }
            rewritten.insert(rewritten.end(), bits.begin() + qsizetype(pos), bits.end());
            while (rewritten.size() % 8)
                rewritten.push_back(false);
            QByteArray unit = nal.left(2);
            for (size_t i = 0; i < rewritten.size(); i += 8) {
                char byte = 0;
                for (int k = 0; k < 8; ++k)
                    byte = char(byte << 1 | rewritten[i + size_t(k)]);
                if (unit.size() >= 4 && uchar(byte) <= 3 && unit.endsWith(QByteArray(2, '\0')))
                    unit += '\3';
                unit += byte;
            }
            if (sps)
                *sps = unit;
            const QByteArray body = config.mid(8, at - 8) + be(quint32(unit.size()), 2) + unit + config.mid(at + 2 + length);
            return box("hvcC", body);
        }
    }
    return config;
}

// The coded picture with parameter sets of its own in front, the sequence
// one saying width x height.
inline Hevc inBand(const Hevc &coded, int width, int height)
{
    QByteArray sps, units;
    codedAs(coded.config, width, height, &sps);
    qsizetype at = 8 + 22;
    const int arrays = uchar(coded.config[at++]);
    for (int a = 0; a < arrays; ++a) {
        const int type = uchar(coded.config[at]) & 0x3F, count = uchar(coded.config[at + 1]) << 8 | uchar(coded.config[at + 2]);
        at += 3;
        for (int n = 0; n < count; ++n) {
            const int length = uchar(coded.config[at]) << 8 | uchar(coded.config[at + 1]);
            const QByteArray unit = type == 33 ? sps : coded.config.mid(at + 2, length);
            units += be(quint32(unit.size()), 4) + unit;
            at += 2 + length;
        }
    }
    return {coded.config, units + coded.data};
}

// A HEIF file whose primary picture is the coded picture (rows == 0) or a
// grid of rows x columns tiles making up a picture of `picture` pixels;
// every tile is the same coded picture, declared as `declared` pixels.
inline QByteArray heif(const Hevc &coded, QSize declared, int rows = 0, int columns = 0, QSize picture = {})
{
    const int tiles = rows * columns;
    const bool grid = tiles > 0;
    const quint32 primary = 1;
    const QByteArray gridData = QByteArray(2, '\0') + char(rows - 1) + char(columns - 1) + be(quint32(picture.width()), 2)
                              + be(quint32(picture.height()), 2);
    const auto ispe = [](QSize s) { return fullBox("ispe", 0, be(quint32(s.width()), 4) + be(quint32(s.height()), 4)); };
    const auto meta = [&](quint32 mdatStart) {
        QByteArray infe, iloc, ipma;
        const auto item = [&](quint32 id, const char *type, bool hidden, quint32 offset, quint32 length, QByteArray properties) {
            infe += box("infe", QByteArray(1, 2) + QByteArray(2, '\0') + char(hidden ? 1 : 0) + be(id, 2) + be(0, 2) + type + '\0');
            iloc += be(id, 2) + be(0, 2) + be(1, 2) + be(offset, 4) + be(length, 4);
            ipma += be(id, 2) + char(properties.size()) + properties;
        };
        const quint32 tileData = mdatStart + (grid ? quint32(gridData.size()) : 0);
        if (grid) {
            item(primary, "grid", false, mdatStart, quint32(gridData.size()), QByteArray(1, char(0x80 | 3)));
            for (int t = 0; t < tiles; ++t)
                item(primary + 1 + quint32(t), "hvc1", true, tileData, quint32(coded.data.size()), QByteArray("\x81\x02", 2));
        } else {
            item(primary, "hvc1", false, tileData, quint32(coded.data.size()), QByteArray("\x81\x02", 2));
        }
        QByteArray dimg;
        if (grid) {
            QByteArray to;
            for (int t = 0; t < tiles; ++t)
                to += be(primary + 1 + quint32(t), 2);
            dimg = fullBox("iref", 0, box("dimg", be(primary, 2) + be(quint32(tiles), 2) + to));
        }
        const int items = grid ? tiles + 1 : 1;
        return fullBox("meta", 0, fullBox("hdlr", 0, be(0, 4) + "pict" + QByteArray(13, '\0'))
                                      + fullBox("pitm", 0, be(primary, 2))
                                      + fullBox("iinf", 0, be(quint32(items), 2) + infe)
                                      + fullBox("iloc", 0, QByteArray("\x44\x00", 2) + be(quint32(items), 2) + iloc) + dimg
                                      + box("iprp", box("ipco", coded.config + ispe(declared) + ispe(picture))
                                                        + fullBox("ipma", 0, be(quint32(items), 4) + ipma)));
    };
    const QByteArray ftyp = box("ftyp", QByteArray("heic") + be(0, 4) + "mif1heic");
    const quint32 mdatStart = quint32(ftyp.size() + meta(0).size() + 8);
    return ftyp + meta(mdatStart) + box("mdat", (grid ? gridData : QByteArray()) + coded.data);
}

struct Case
{
    const char *file;
    QByteArray bytes;
    int number;          // the error that refuses it
    const char *cause;   // and what its description names
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
        {"coded.heic", heif({codedAs(small.config, 8192, 8192), small.data}, QSize(64, 64)), 481,
         "declared as 64 x 64 is coded as 8192 x 8192"},
        {"tiles.heic", heif({codedAs(tile.config, 8192, 8192), tile.data}, QSize(512, 512), 2, 2, QSize(1024, 1024)), 481,
         "declared as 512 x 512 is coded as 8192 x 8192"},
        {"in-band.heic", heif(inBand(small, 8192, 8192), QSize(64, 64)), 481, "and as 8192 x 8192"},
        {"grid.heic", heif(small, QSize(64, 64), 100, 100, QSize(6400, 6400)), 481, "a grid of 10000 tiles"},
        {"big-tiles.heic", heif(tile, QSize(512, 512), 8, 8, QSize(512, 512)), 481, "64 tiles of up to 512 x 512"},
    };
}

} // namespace Crafted
