#pragma once

#include "cDIBSection.h"

#include <QSize>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>

// The DCT coefficients of one picture as the program's encoder makes them,
// and from them lower bounds on the length of the JPEG file at each quality,
// so that a search can prove a quality too large without encoding it; the
// encoder then writes the chosen quality from the same coefficients.
//
// The colour conversion, chroma down-sampling and forward DCT do not depend
// on the quality; they are done once here (JpegTransform). Per quality only
// libjpeg-turbo's quantisation (its reciprocal form) and a count of the
// Huffman symbols remain.
class JpegSizeBounds
{
public:
    // Precomputes the DCT of the pixels with up to `threads` threads; about
    // 3 bytes a pixel. The pixels are not kept. Throws std::bad_alloc when
    // memory is short; an exception on a worker reaches the caller.
    explicit JpegSizeBounds(const PixelRows &pixels, int threads = 2);
    explicit JpegSizeBounds(const cDIBSection &image, int threads = 2)
        : JpegSizeBounds(PixelRows::Of(image), threads)
    {
    }
    // The same from pixels that arrive in bands, top to bottom: `feed` calls
    // its argument with each band (rows of `size.width()` 4-byte pixels,
    // valid during the call). The work on one band overlaps the making of
    // the next.
    using Take = std::function<void(const PixelRows &band)>;
    JpegSizeBounds(QSize size, const std::function<void(const Take &take)> &feed, int threads = 2);
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

    // How often each Huffman symbol occurs in the file at this quality, as
    // libjpeg's optimising pass counts them: per table (0 luma, 1 chroma),
    // DC categories and AC run/size symbols. The last HuffmanBound that
    // counted every block leaves them ready for its quality.
    struct SymbolCounts
    {
        long dc[2][257] {};
        long ac[2][257] {};
    };
    SymbolCounts Counts(int quality) const;

    int Width() const;
    int Height() const;
    // Blocks across and down of component c: 0 is Y, 1 Cb, 2 Cr (2x2 chroma
    // sub-sampling, so Cb and Cr have one block per 16x16 pixels).
    int BlockColumns(int c) const;
    int BlockRows(int c) const;
    // One row of component c's blocks quantised for the quality exactly as
    // libjpeg-turbo quantises them: 64 coefficients a block in natural
    // (row-major) order, BlockColumns(c) blocks.
    void QuantisedRow(int quality, int c, int row, std::int16_t *out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
