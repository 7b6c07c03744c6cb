#pragma once

#include "cDIBSection.h"

#include <QByteArray>
#include <QSize>
#include <functional>
#include <memory>
#include <cstdint>
#include <vector>

// How close an encoded picture is to the pixels it was made from.
namespace Psnr {

// The peak signal-to-noise ratio in dB of the JPEG bytes, decoded once row
// by row, against the image: the mean squared error over all three colour
// channels of every pixel, as ImageMagick's `compare -metric PSNR` measures
// it. Infinity when the two are identical. Throws AppError 5 when the bytes
// are not a JPEG of the image's size.
double JpegAgainst(const PixelRows &source, const std::vector<std::uint8_t> &jpeg);
inline double JpegAgainst(const cDIBSection &source, const std::vector<std::uint8_t> &jpeg)
{
    return JpegAgainst(PixelRows::Of(source), jpeg);
}

// The source JPEG's decoder for the second of the two threads below, taken
// on a worker thread to where its half starts while the caller goes on (the
// encode the PSNR will measure). Used once.
class LowerHalf
{
public:
    explicit LowerHalf(const QByteArray &sourceJpeg);
    ~LowerHalf();
    LowerHalf(const LowerHalf &) = delete;
    LowerHalf &operator=(const LowerHalf &) = delete;

private:
    friend double JpegAgainst(const QByteArray &, const std::vector<std::uint8_t> &, LowerHalf *);
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The same against the picture a JPEG file decodes to (JpegDecoder's full
// decode), decoded again row by row beside the encoded one, on two threads.
// `ahead`, made for the same bytes, starts the second thread's decoder.
double JpegAgainst(const QByteArray &sourceJpeg, const std::vector<std::uint8_t> &jpeg, LowerHalf *ahead = nullptr);

// The same against pixels that arrive in bands from the top (rows of
// `size.width()` 4-byte pixels): `source` hands each band to its argument.
using BandFeed = std::function<void(const std::function<void(const PixelRows &band)> &take)>;
double JpegAgainst(QSize size, const BandFeed &source, const std::vector<std::uint8_t> &jpeg);

} // namespace Psnr
