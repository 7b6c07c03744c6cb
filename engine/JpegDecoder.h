#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <functional>
#include <memory>

// libjpeg-turbo's decompressor, straight into a QImage. The file is read
// whole into memory by the caller.
namespace JpegDecoder {

// A progressive JPEG with more scans than this is refused: each scan makes
// the decoder pass over every coefficient again.
constexpr int MaxScans = 500;

struct Header
{
    QSize size;              // as stored, before any EXIF orientation
    bool progressive = false;
};

// The frame header. Throws AppError 481 when the data are not a JPEG with
// an image in it, or when the image has no scan data at all.
Header ReadHeader(const QByteArray &file);

// The output size of a decode at the smallest DCT scale (n/8) that still
// gives at least minSize (an empty minSize: the full size).
QSize ScaledSize(const QByteArray &file, QSize minSize);

struct Options
{
    QSize minSize;                                   // empty: full size
    std::function<bool()> cancelled;                 // true: stop
    // Called with the output size once it is known, before the pixels are
    // allocated; may throw to refuse.
    std::function<void(QSize output, bool progressive)> beforeAllocating;
};

// The colour of cyan, magenta, yellow and black inks of 0 (none) to 65535.
inline QRgb FromInks(int c, int m, int y, int k)
{
    const auto channel = [k](int ink) {
        const qint64 light = qint64(65535 - ink) * (65535 - k) / 65535;
        return int((light * 255 + 32767) / 65535);
    };
    return qRgb(channel(c), channel(m), channel(y));
}

// The picture in Format_RGB32, with its ICC profile (if any) set as its
// colour space. A truncated or corrupt file gives what decodes, and Damage
// tells of it. Throws AppError 481 for
// a broken file or one with more than MaxScans scans, 18 when cancelled,
// 7 when memory runs out, and whatever beforeAllocating throws.
QImage Decode(const QByteArray &file, const Options &options);

// An uninitialised Format_RGB32 picture of `size` pixels. Throws AppError 7
// when memory runs out.
QImage NewPicture(QSize size);

// Whether DecodeBands gives the picture as LoadPicture would: a JPEG in
// YCbCr or grey, without a colour profile to convert from.
bool Streamable(const QByteArray &file);

// A JPEG decoded at full size a band of rows at a time, as Format_RGB32
// bytes: only one band is held, and for a progressive file libjpeg's
// coefficients, kept packed so that reading the rows again does not decode
// its scans again.
class Bands
{
public:
    using Band = std::function<void(const uchar *pixels, qsizetype stride, int first, int count)>;
    // With `once` the rows are read only once, and a progressive file's
    // coefficients are not kept for more. Throws as Decode does.
    explicit Bands(const QByteArray &file, const Options &options = {}, bool once = false);
    ~Bands();
    Bands(const Bands &) = delete;
    Bands &operator=(const Bands &) = delete;

    QSize size() const;
    // Hands every row to `band`, `rows` at a time from the top (the last
    // band may be shorter; valid during the call). May be called again.
    // With `into` (Format_RGB32, of size()) the rows are decoded into it
    // and handed to `band` there. Throws as Decode does, or what `band`
    // throws.
    void Read(int rows, const Band &band, QImage *into = nullptr);
    // What Damage would say, once the rows were read.
    QString damage() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Why part of a decoded picture is missing ("Premature end of JPEG file"),
// kept with the picture and its converted copies; empty for a whole one.
QString Damage(const QImage &picture);

} // namespace JpegDecoder
