#include "cDIBSection.h"

#include "AppError.h"

#include <cstring>
#include <limits>
#include <new>
#include <thread>

namespace {

const QString kSource = QStringLiteral("Quillmoss.cDIBSection");

std::int32_t checked(std::int64_t value)
{
    if (value > std::numeric_limits<std::int32_t>::max() || value < std::numeric_limits<std::int32_t>::min())
        throw AppError(AppError::Overflow, kSource);
    return static_cast<std::int32_t>(value);
}

} // namespace

std::int32_t cDIBSection::BytesPerScanLine() const
{
    return checked(std::int64_t(m_width) * 3 + 3) & ~3;
}

bool cDIBSection::Create(std::int32_t lWidth, std::int32_t lHeight) { return allocate(lWidth, lHeight, true); }

bool cDIBSection::allocate(std::int32_t lWidth, std::int32_t lHeight, bool zeroed)
{
    ClearUp();
    m_width = lWidth;
    m_height = lHeight;
    const std::int32_t stride = BytesPerScanLine();
    const std::int32_t total = checked(std::int64_t(stride) * lHeight);
    if (lWidth <= 0 || lHeight <= 0)
        return false;
    try {
        m_bits = HugeArray<std::uint8_t>(std::size_t(total));
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (zeroed)
        std::memset(m_bits.get(), 0, std::size_t(total));
    return true;
}

void cDIBSection::CreateFromPicture(const QImage &picThis)
{
    // Every byte is written below, so the buffer need not be cleared first.
    if (!allocate(picThis.width(), picThis.height(), false))
        return;
    QImage source = picThis;
    if (source.format() != QImage::Format_RGB32 && source.format() != QImage::Format_ARGB32)
        source = source.convertToFormat(QImage::Format_RGB32);
    if (source.isNull()) {
        ClearUp();
        return;
    }
    const std::size_t stride = std::size_t(BytesPerScanLine());
    const std::size_t pad = stride - std::size_t(m_width) * 3;
    const auto copyRows = [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            const auto *in = reinterpret_cast<const QRgb *>(source.constScanLine(y));
            std::uint8_t *out = m_bits.get() + std::size_t(m_height - 1 - y) * stride;
            for (int x = 0; x < m_width; ++x) {
                const QRgb p = in[x];
                out[0] = std::uint8_t(qBlue(p));
                out[1] = std::uint8_t(qGreen(p));
                out[2] = std::uint8_t(qRed(p));
                out += 3;
            }
            std::memset(out, 0, pad);
        }
    };
    // Large pictures are copied by two threads, half the rows each.
    if (qint64(m_width) * m_height >= (1 << 20)) {
        std::thread top(copyRows, 0, m_height / 2);
        copyRows(m_height / 2, m_height);
        top.join();
    } else {
        copyRows(0, m_height);
    }
}

PixelRows PixelRows::Of(const cDIBSection &image)
{
    PixelRows rows;
    if (!image.DIBSectionBitsPtr())
        return rows;
    rows.stride = -std::ptrdiff_t(image.BytesPerScanLine());
    rows.top = image.DIBSectionBitsPtr() + std::ptrdiff_t(image.Height() - 1) * -rows.stride;
    rows.width = image.Width();
    rows.height = image.Height();
    return rows;
}

PixelRows PixelRows::Of(const QImage &picture)
{
    PixelRows rows;
    // RGB32's fourth byte is always 0xFF, as a decoder's filler is.
    if (picture.format() != QImage::Format_RGB32)
        return rows;
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "QRgb's bytes are blue, green, red, alpha");
    rows.top = picture.constBits();
    rows.stride = std::ptrdiff_t(picture.bytesPerLine());
    rows.width = picture.width();
    rows.height = picture.height();
    rows.pixelBytes = 4;
    return rows;
}
