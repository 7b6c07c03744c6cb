#pragma once

#include "HugeArray.h"

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <memory>

// The 24-bit image the JPEG writer reads: 3 bytes per pixel in blue, green,
// red order, rows bottom-up, each row padded to a multiple of 4 bytes.
class cDIBSection
{
public:
    cDIBSection() = default;
    cDIBSection(const cDIBSection &) = delete;
    cDIBSection &operator=(const cDIBSection &) = delete;
    ~cDIBSection() { ClearUp(); }

    // Makes an image of the given size (filled with black), releasing any
    // earlier one. False when the memory cannot be had; the object is then
    // empty. Throws AppError 6 when the size overflows 32 bits.
    bool Create(std::int32_t lWidth, std::int32_t lHeight);
    // Replaces the content with a 24-bit copy of the picture at its own size.
    // After a failure the object is empty (DIBSectionBitsPtr is null).
    void CreateFromPicture(const QImage &picThis);

    // (Width * 3 + 3) with the two lowest bits cleared; AppError 6 on overflow.
    std::int32_t BytesPerScanLine() const;
    // The size last asked for; kept after ClearUp.
    std::int32_t Width() const { return m_width; }
    std::int32_t Height() const { return m_height; }
    // First byte of the bottom row, or null when empty. Owned by this object.
    std::uint8_t *DIBSectionBitsPtr() const { return m_bits.get(); }

    void ClearUp() { m_bits = {}; }

private:
    bool allocate(std::int32_t lWidth, std::int32_t lHeight, bool zeroed);

    HugeArray<std::uint8_t> m_bits;
    std::int32_t m_width = 0;
    std::int32_t m_height = 0;
};

// Rows of blue, green, red pixels counted from the top, as the encoder reads
// them: the 24-bit image's, or a Format_RGB32 picture's, whose fourth byte
// is left alone. A view: the pixels stay their owner's.
struct PixelRows
{
    const std::uint8_t *top = nullptr;
    std::ptrdiff_t stride = 0;      // from one row to the next one down
    int width = 0, height = 0;
    int pixelBytes = 3;
    int first = 0;                  // the picture row `top` is: a band of a larger picture

    const std::uint8_t *row(int y) const { return top + std::ptrdiff_t(y - first) * stride; }
    bool isNull() const { return !top || width <= 0 || height <= 0; }

    static PixelRows Of(const cDIBSection &image);
    static PixelRows Of(const QImage &picture);     // null for any other format
};
