#pragma once

#include "cDIBSection.h"

#include <cstdint>
#include <memory>

// Lower bounds on the length of the JPEG file the program's encoder writes
// for one image at each quality, so that a search can prove a quality too
// large without encoding it.
//
// The colour conversion, chroma down-sampling and forward DCT do not depend
// on the quality; they are done once here in the same integer arithmetic as
// libjpeg-turbo. Per quality only libjpeg-turbo's quantisation (its
// reciprocal form) and a count of the Huffman symbols remain.
class JpegCoefficients
{
public:
    // Precomputes the DCT of the image with up to `threads` threads. The
    // image's pixels are not kept. Throws std::bad_alloc when memory is short.
    explicit JpegCoefficients(const cDIBSection &image, int threads = 2);
    ~JpegCoefficients();
    JpegCoefficients(const JpegCoefficients &) = delete;
    JpegCoefficients &operator=(const JpegCoefficients &) = delete;

    // From per-position magnitude histograms: microseconds per call.
    std::uint64_t QuickBound(int quality) const;
    // The exact header plus the entropy-coded bits of optimal Huffman codes
    // for this quality's symbols; the real file is longer only by the bytes
    // libjpeg stuffs after 0xFF and by the code-length limit. One pass over
    // the coefficients.
    std::uint64_t HuffmanBound(int quality) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
