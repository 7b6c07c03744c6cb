#pragma once

#include "cDIBSection.h"

#include <QByteArray>
#include <QSize>
#include <functional>
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

// The same against the picture a JPEG file decodes to (JpegDecoder's full
// decode), decoded again row by row beside the encoded one.
double JpegAgainst(const QByteArray &sourceJpeg, const std::vector<std::uint8_t> &jpeg);

// The same against pixels that arrive in bands from the top (rows of
// `size.width()` 4-byte pixels): `source` hands each band to its argument.
using BandFeed = std::function<void(const std::function<void(const PixelRows &band)> &take)>;
double JpegAgainst(QSize size, const BandFeed &source, const std::vector<std::uint8_t> &jpeg);

} // namespace Psnr
