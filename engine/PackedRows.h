#pragma once

#include "ProgressiveScans.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// One component of a progressive file's coefficients, which stay whole for
// every read that turns them into pixels. Once every scan is in, they are
// packed (a block: a mask of its non-zero AC coefficients, its DC, then
// those coefficients, a byte each, or two each where one needs it) and
// their pages go back to the system: a large photo's coefficients would
// otherwise sit beside all that the reads make of them. Reads get them back
// a few rows at a time. Mostly a block holds a tenth of its coefficients.
// A single read (a whole decode) instead drops the rows it is past.
class PackedRows
{
public:
    using Block = ProgressiveScans::Block;

    // The rows in place, `width` blocks each; only rows of one allocation
    // give their pages back.
    PackedRows(std::vector<Block *> rows, std::size_t width);
    PackedRows(PackedRows &&) noexcept = default;
    PackedRows &operator=(PackedRows &&) noexcept = default;
    ~PackedRows();

    // Rows before `end` are not read in place again: packed first unless
    // `dropped` (nothing reads them again), then their whole pages are
    // given back, a megabyte at a time or all at the last row. Rows past
    // a failed allocation stay in place, whole; nothing is thrown.
    void pass(std::size_t end, bool dropped);

    // Rows [first, first + count), as many as there are: in place, or
    // unpacked into a buffer that the next call reuses. Throws
    // std::bad_alloc, and std::logic_error for dropped rows.
    Block *const *read(std::size_t first, std::size_t count);

    std::size_t packed() const { return m_packed; }

    // One block packed at `out`, which has room for MostBytes (the vector
    // code writes past what it packs); the byte after it. The vector code
    // needs AVX-512 with VBMI2.
    static constexpr std::size_t MostBytes = 8 + 2 + 63 * 2 + 64;
    static bool CanVectorise();
    static std::uint8_t *PackBlock(const Block &block, std::uint8_t *out, bool vectorised);
    static const std::uint8_t *UnpackBlock(const std::uint8_t *in, Block &block, bool vectorised);

private:
    void pack(std::size_t row);
    void unpack(std::size_t row, Block *out) const;
    void release(std::size_t end);

    std::vector<Block *> m_rows;
    std::size_t m_width = 0;
    bool m_contiguous = false;
    bool m_full = false;              // an allocation failed: no more packing
    std::size_t m_packed = 0;         // rows [0, m_packed) live in m_starts
    std::uintptr_t m_released = 0;    // pages below this went back
    struct Free { void operator()(std::uint8_t *p) const; };
    std::vector<std::unique_ptr<std::uint8_t[], Free>> m_chunks;
    std::size_t m_chunkUsed = 0, m_chunkSize = 0;
    std::vector<const std::uint8_t *> m_starts;
    bool m_dropped = false;           // rows [0, m_packed) are gone
    std::unique_ptr<Block[]> m_buffer;
    std::size_t m_bufferBlocks = 0;
    std::vector<Block *> m_band;
};
