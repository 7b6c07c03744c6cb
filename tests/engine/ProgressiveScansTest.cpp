// A progressive JPEG's AC scans are decoded on threads of their own beside
// libjpeg; the pixels must be libjpeg's, whatever the scan script.

#include "CraftedPictures.h"
#include "JpegDecoder.h"
#include "ProgressiveScans.h"

#include <QImage>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <jpeglib.h>

namespace {

// `picture` through libjpeg at quality 92 with luma sampled h x v (or
// grey), progressive with `scans` (none: libjpeg's own script) or baseline:
// the same coefficients either way. With restart markers every
// `restartRows` rows of blocks.
QByteArray encode(const QImage &picture, int h, int v, bool grey, const std::vector<jpeg_scan_info> *scans,
                  int restartRows = 0)
{
    jpeg_compress_struct c {};
    jpeg_error_mgr err {};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(picture.width());
    c.image_height = JDIMENSION(picture.height());
    c.input_components = grey ? 1 : 3;
    c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 92, TRUE);
    c.comp_info[0].h_samp_factor = h;
    c.comp_info[0].v_samp_factor = v;
    c.optimize_coding = TRUE;
    c.restart_in_rows = restartRows;
    if (scans && scans->empty())
        jpeg_simple_progression(&c);
    else if (scans) {
        c.scan_info = scans->data();
        c.num_scans = int(scans->size());
    }
    jpeg_start_compress(&c, TRUE);
    const QImage rows = picture.convertToFormat(grey ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
    while (c.next_scanline < c.image_height) {
        auto *row = const_cast<JSAMPROW>(rows.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    const QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(size));
    std::free(out);
    return bytes;
}

// Smooth gradients under noise: long runs of zeros and busy blocks alike.
QImage photo(int width, int height)
{
    QImage picture = Crafted::noise(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const QRgb n = picture.pixel(x, y);
            picture.setPixel(x, y, qRgb((x * 255 / width + qRed(n) / 8) & 255, (y * 255 / height + qGreen(n) / 16) & 255,
                                        (x + y) % 256 / 2 + (n & 7)));
        }
    return picture;
}

QImage decoded(const QByteArray &file, QSize minSize = {})
{
    JpegDecoder::Options options;
    options.minSize = minSize;
    return JpegDecoder::Decode(file, options);
}

} // namespace

// Scripts of every kind (spectral selection alone, successive approximation
// over split bands, one component or three, each sampling): every AC scan
// decodes without giving up, and the picture is the one its baseline twin,
// the same coefficients, decodes to, at full size and at a DCT scale.
TEST(ProgressiveScans, DecodeWhatLibjpegDecodes)
{
    const std::vector<jpeg_scan_info> spectral = {
        {3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 0}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    const std::vector<jpeg_scan_info> mixed = {
        {1, {0}, 0, 0, 0, 1},   {1, {1}, 0, 0, 0, 0},   {1, {2}, 0, 0, 0, 0},    {1, {0}, 1, 1, 0, 2},
        {1, {0}, 2, 2, 0, 1},   {1, {0}, 3, 9, 0, 0},   {1, {0}, 10, 63, 0, 3},  {1, {0}, 1, 1, 2, 1},
        {1, {0}, 1, 1, 1, 0},   {1, {0}, 2, 2, 1, 0},   {1, {0}, 10, 63, 3, 2},  {1, {0}, 10, 63, 2, 1},
        {1, {0}, 10, 63, 1, 0}, {1, {0}, 0, 0, 1, 0},   {1, {2}, 1, 63, 0, 0},   {1, {1}, 1, 30, 0, 1},
        {1, {1}, 31, 63, 0, 0}, {1, {1}, 1, 30, 1, 0}};
    const std::vector<jpeg_scan_info> simple;
    const struct { int width, height, h, v; bool grey; const std::vector<jpeg_scan_info> &scans; } cases[] = {
        {1001, 777, 2, 2, false, simple}, {523, 611, 1, 1, false, spectral}, {640, 97, 2, 1, false, mixed},
        {301, 1203, 1, 2, false, simple}, {777, 555, 1, 1, true, simple}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " sampled " << c.h << "x" << c.v);
        const QImage picture = photo(c.width, c.height);
        const QByteArray progressive = encode(picture, c.h, c.v, c.grey, &c.scans);
        const auto plan = ProgressiveScans::Split(progressive);
        ASSERT_TRUE(plan);
        for (int component = 0; component < (c.grey ? 1 : 3); ++component) {
            const int h = component ? 1 : c.h, v = component ? 1 : c.v;
            const int width = (c.width * h + 8 * c.h - 1) / (8 * c.h), height = (c.height * v + 8 * c.v - 1) / (8 * c.v);
            std::vector<ProgressiveScans::Block> blocks(std::size_t(width) * std::size_t(height));
            std::vector<ProgressiveScans::Block *> rows;
            for (int r = 0; r < height; ++r)
                rows.push_back(blocks.data() + std::size_t(r) * std::size_t(width));
            EXPECT_TRUE(plan->decode(component, rows, width, height, std::atomic<bool>(false)));
        }
        const QByteArray baseline = encode(picture, c.h, c.v, c.grey, nullptr);
        EXPECT_EQ(decoded(progressive), decoded(baseline));
        EXPECT_EQ(decoded(progressive, QSize(c.width / 4, c.height / 4)), decoded(baseline, QSize(c.width / 4, c.height / 4)));
    }
}

// Scans libjpeg would complain of are left to it: an AC scan cut short or
// with a bit flipped decodes to what libjpeg alone makes of it (a cut scan
// tells of missing data). Files with restart markers, or whose script
// leaves coefficients unrefined (libjpeg then smooths blocks), are not
// split.
TEST(ProgressiveScans, LeaveWhatLibjpegComplainsOfToIt)
{
    const QImage picture = photo(800, 600);
    const std::vector<jpeg_scan_info> simple, incomplete = {
        {3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    const QByteArray file = encode(picture, 2, 2, false, &simple);
    // The second scan is the luma's first AC scan: cut short, the rest of
    // it would be read as zeros.
    const qsizetype second = file.indexOf("\xFF\xDA", file.indexOf("\xFF\xDA") + 2);
    qsizetype end = second + 2 + Crafted::be16(file, second + 2);
    while (!(uchar(file[end]) == 0xFF && file[end + 1] != 0))
        ++end;
    const qsizetype middle = (second + end) / 2;
    QByteArray flipped = file;
    flipped[middle] = char(uchar(flipped[middle]) == 0xA5 ? 0x5A : uchar(flipped[middle]) ^ 0x5A);
    const struct { const char *what; QByteArray bytes; bool split, missing; } cases[] = {
        {"cut short", file.left(end - 3) + file.mid(end), true, true},
        {"flipped", flipped, true, false},
        {"restart markers", encode(picture, 2, 2, false, &simple, 1), false, false},
        {"incomplete", encode(picture, 2, 2, false, &incomplete), false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(bool(ProgressiveScans::Split(c.bytes)), c.split);
        const QImage image = decoded(c.bytes);
        EXPECT_EQ(image, QImage::fromData(c.bytes).convertToFormat(QImage::Format_RGB32));
        EXPECT_EQ(!JpegDecoder::Damage(image).isEmpty(), c.missing);
    }
}

// Between reads a progressive file's coefficients are packed and their
// pages given back; every read gives the whole decode's rows, whether the
// AC scans were split off or not (an unrefined script is smoothed, and
// libjpeg then looks at the rows around each).
TEST(ProgressiveScans, RowsReadAgainAreTheWholeDecodes)
{
    const QImage picture = photo(901, 611);
    const std::vector<jpeg_scan_info> simple, incomplete = {
        {3, {0, 1, 2}, 0, 0, 0, 0}, {1, {0}, 1, 63, 0, 1}, {1, {1}, 1, 63, 0, 0}, {1, {2}, 1, 63, 0, 0}};
    const struct { const char *what; QByteArray file; bool split; } cases[] = {
        {"split", encode(picture, 2, 1, false, &simple), true},
        {"grey", encode(picture, 1, 1, true, &simple), true},
        {"smoothed", encode(picture, 2, 2, false, &incomplete), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(bool(ProgressiveScans::Split(c.file)), c.split);
        const QImage whole = decoded(c.file);
        JpegDecoder::Bands bands(c.file);
        for (int read = 0; read < 2; ++read) {
            QImage rows(whole.size(), QImage::Format_RGB32);
            bands.Read(37, [&](const uchar *pixels, qsizetype stride, int first, int count) {
                for (int r = 0; r < count; ++r)
                    std::memcpy(rows.scanLine(first + r), pixels + r * stride, std::size_t(rows.width()) * 4);
            });
            EXPECT_EQ(rows, whole) << "read " << read;
        }
    }
}
