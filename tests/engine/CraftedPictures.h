#pragma once

// Small files made to hurt: a few hundred bytes that claim pictures of
// gigabytes, or cost minutes to decode. Shared by the engine tests and the
// slow tests, which measure what each costs a real process.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
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
    return {
        {"no-scan.jpg", hugeJpeg(16384, 16384, 0), 481, "no image data"},
        {"truncated.jpg", hugeJpeg(16384, 16384, 20), 7, "16384 x 16384"},
        {"huge.bmp", bmp(24, 16384, 16384, 0x808080, 0) + QByteArray(64, '\x80'), 7, "16384 x 16384"},
        {"screen.gif", gifScreen(16384, 16383), 7, "16384 x 16383"},
        {"scans.jpg", scanBomb(512, 3000), 481, "more than 500 scans"},
    };
}

} // namespace Crafted
