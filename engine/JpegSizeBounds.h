#pragma once

#include "cDIBSection.h"

#include <cstdint>
#include <limits>
#include <memory>

// Lower bounds on the length of the JPEG file the program's encoder writes
// for one image at each quality, so that a search can prove a quality too
// large without encoding it.
//
// The colour conversion, chroma down-sampling and forward DCT do not depend
// on the quality; they are done once here (JpegTransform). Per quality only
// libjpeg-turbo's quantisation (its reciprocal form) and a count of the
// Huffman symbols remain.
class JpegSizeBounds
{
public:
    // Precomputes the DCT of the image with up to `threads` threads. The
    // image's pixels are not kept. Throws std::bad_alloc when memory is short;
    // an exception on a worker reaches the caller.
    explicit JpegSizeBounds(const cDIBSection &image, int threads = 2);
    ~JpegSizeBounds();
    JpegSizeBounds(const JpegSizeBounds &) = delete;
    JpegSizeBounds &operator=(const JpegSizeBounds &) = delete;

    // The header, one bit per block and per nonzero AC coefficient and the AC
    // magnitude bits. Never decreases with the quality (quant steps only
    // shrink as it rises), so once it exceeds a limit at q it does at every
    // higher q. Microseconds per call.
    std::uint64_t MagnitudeBound(int quality) const;
    // From per-position magnitude histograms: microseconds per call.
    std::uint64_t QuickBound(int quality) const;
    // The exact header plus the entropy-coded bits of optimal Huffman codes
    // for this quality's symbols; the real file is longer only by the bytes
    // libjpeg stuffs after 0xFF and by the code-length limit. One pass over
    // the coefficients, in stages: as soon as the bound of the blocks counted
    // so far (a lower bound of the whole) exceeds `stopAbove`, that partial
    // bound is returned.
    std::uint64_t HuffmanBound(int quality,
                               std::uint64_t stopAbove = std::numeric_limits<std::uint64_t>::max()) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
