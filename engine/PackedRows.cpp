#include "PackedRows.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// A block packed: eight bytes of which bit k (1 to 63) marks a non-zero AC
// coefficient k and bit 0 that one of them is outside a byte's range; the
// DC coefficient's two bytes; the non-zero AC coefficients in order, a
// byte each or, when one is outside, two each.
constexpr std::uint64_t Wide = 1;

std::uint8_t *packScalar(const std::int16_t *block, std::uint8_t *out)
{
    std::uint64_t bits = 0;
    bool wide = false;
    for (int k = 1; k < 64; ++k) {
        bits |= std::uint64_t(block[k] != 0) << k;
        wide |= block[k] < -128 || block[k] > 127;
    }
    const std::uint64_t head = bits | (wide ? Wide : 0);
    std::memcpy(out, &head, 8);
    std::memcpy(out + 8, block, 2);
    out += 10;
    for (; bits; bits &= bits - 1) {
        const std::int16_t v = block[std::countr_zero(bits)];
        if (wide) {
            std::memcpy(out, &v, 2);
            out += 2;
        } else {
            *out++ = std::uint8_t(v);
        }
    }
    return out;
}

const std::uint8_t *unpackScalar(const std::uint8_t *in, std::int16_t *block)
{
    std::memset(block, 0, sizeof(ProgressiveScans::Block));
    std::uint64_t head;
    std::memcpy(&head, in, 8);
    std::memcpy(block, in + 8, 2);
    in += 10;
    for (std::uint64_t bits = head & ~Wide; bits; bits &= bits - 1) {
        const int k = std::countr_zero(bits);
        if (head & Wide) {
            std::memcpy(&block[k], in, 2);
            in += 2;
        } else {
            block[k] = std::int16_t(std::int8_t(*in++));
        }
    }
    return in;
}

#if defined(__x86_64__)
#define VECTOR_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt")))

VECTOR_TARGET std::uint8_t *packVector(const std::int16_t *block, std::uint8_t *out)
{
    const __m512i a = _mm512_loadu_si512(block), b = _mm512_loadu_si512(block + 32);
    const __m512i low = _mm512_set1_epi16(-128), high = _mm512_set1_epi16(127);
    const __mmask32 ma = _mm512_test_epi16_mask(a, a) & ~__mmask32(1), mb = _mm512_test_epi16_mask(b, b);
    const __mmask32 wide = ((_mm512_cmplt_epi16_mask(a, low) | _mm512_cmpgt_epi16_mask(a, high)) & ~__mmask32(1))
                           | _mm512_cmplt_epi16_mask(b, low) | _mm512_cmpgt_epi16_mask(b, high);
    const std::uint64_t head = ma | std::uint64_t(mb) << 32 | (wide ? Wide : 0);
    std::memcpy(out, &head, 8);
    std::memcpy(out + 8, block, 2);
    out += 10;
    const int na = _mm_popcnt_u32(ma), nb = _mm_popcnt_u32(mb);
    // Compressed in registers and stored whole (a compressing store is
    // slow on some cores): up to 64 bytes past the end are scribbled on.
    if (wide) {
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi16(ma, a));
        _mm512_storeu_si512(out + 2 * na, _mm512_maskz_compress_epi16(mb, b));
        return out + 2 * (na + nb);
    }
    const __mmask32 all = ~__mmask32(0);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_maskz_compress_epi8(ma, _mm512_maskz_cvtepi16_epi8(all, a)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + na),
                        _mm256_maskz_compress_epi8(mb, _mm512_maskz_cvtepi16_epi8(all, b)));
    return out + na + nb;
}

VECTOR_TARGET const std::uint8_t *unpackVector(const std::uint8_t *in, std::int16_t *block)
{
    std::uint64_t head;
    std::memcpy(&head, in, 8);
    const std::int16_t dc = std::int16_t(in[8] | in[9] << 8);
    in += 10;
    const auto ma = __mmask32(head) & ~__mmask32(1), mb = __mmask32(head >> 32);
    const int na = _mm_popcnt_u32(ma), nb = _mm_popcnt_u32(mb);
    __m512i a, b;
    if (head & Wide) {
        a = _mm512_maskz_expandloadu_epi16(ma, in);
        b = _mm512_maskz_expandloadu_epi16(mb, in + 2 * na);
        in += 2 * (na + nb);
    } else {
        // Masked loads: nothing past the packed bytes is touched.
        const auto first = [](int n) { return __mmask32((std::uint64_t(1) << n) - 1); };
        a = _mm512_maskz_expand_epi16(ma, _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(first(na), in)));
        b = _mm512_maskz_expand_epi16(mb, _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(first(nb), in + na)));
        in += na + nb;
    }
    _mm512_storeu_si512(block, a);
    _mm512_storeu_si512(block + 32, b);
    block[0] = dc;
    return in;
}

const bool Vectorised = [] {
    __builtin_cpu_init();   // static initialisers may run before libgcc's
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
           && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
}();
#else
const bool Vectorised = false;
std::uint8_t *packVector(const std::int16_t *, std::uint8_t *) { std::abort(); }
const std::uint8_t *unpackVector(const std::uint8_t *, std::int16_t *) { std::abort(); }
#endif

constexpr std::size_t ChunkBytes = std::size_t(4) << 20;
constexpr std::size_t ReleaseStep = std::size_t(1) << 20;

} // namespace

bool PackedRows::CanVectorise() { return Vectorised; }

std::uint8_t *PackedRows::PackBlock(const Block &block, std::uint8_t *out, bool vectorised)
{
    return vectorised ? packVector(block, out) : packScalar(block, out);
}

const std::uint8_t *PackedRows::UnpackBlock(const std::uint8_t *in, Block &block, bool vectorised)
{
    return vectorised ? unpackVector(in, block) : unpackScalar(in, block);
}

void PackedRows::Free::operator()(std::uint8_t *p) const { std::free(p); }

PackedRows::PackedRows(std::vector<Block *> rows, std::size_t width) : m_rows(std::move(rows)), m_width(width)
{
    m_contiguous = !m_rows.empty();
    for (std::size_t r = 1; r < m_rows.size() && m_contiguous; ++r)
        m_contiguous = m_rows[r] == m_rows[0] + r * m_width;
}

PackedRows::~PackedRows() = default;

void PackedRows::pass(std::size_t end, bool dropped)
{
    end = std::min(end, m_rows.size());
    if (!m_contiguous || end <= m_packed)
        return;
    if (!dropped) {
        if (m_full || m_dropped)
            return;
        try {
            m_starts.reserve(m_rows.size());
            for (; m_packed < end; ++m_packed)
                pack(m_packed);
        } catch (const std::bad_alloc &) {
            m_full = true;   // what is packed stays so; the rest stays in place
        }
    } else {
        m_dropped = true;
        m_packed = end;
    }
    release(m_packed);
}

void PackedRows::pack(std::size_t row)
{
    const std::size_t most = m_width * MostBytes;
    if (m_chunks.empty() || m_chunkSize - m_chunkUsed < most) {
        const std::size_t size = std::max(ChunkBytes, most);
        auto *chunk = static_cast<std::uint8_t *>(std::malloc(size));
        if (!chunk)
            throw std::bad_alloc();
        m_chunks.emplace_back(chunk);
        m_chunkSize = size;
        m_chunkUsed = 0;
    }
    std::uint8_t *const start = m_chunks.back().get() + m_chunkUsed;
    std::uint8_t *out = start;
    for (std::size_t x = 0; x < m_width; ++x)
        out = PackBlock(m_rows[row][x], out, Vectorised);
    m_starts.push_back(start);
    m_chunkUsed += std::size_t(out - start);
}

void PackedRows::unpack(std::size_t row, Block *out) const
{
    const std::uint8_t *in = m_starts[row];
    for (std::size_t x = 0; x < m_width; ++x)
        in = UnpackBlock(in, out[x], Vectorised);
}

void PackedRows::release(std::size_t end)
{
    const auto page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(m_rows.front());
    const std::uintptr_t from = std::max(m_released, (start + page - 1) / page * page);
    const std::uintptr_t to = reinterpret_cast<std::uintptr_t>(m_rows.front() + end * m_width) / page * page;
    if (to > from && (to - from >= ReleaseStep || end == m_rows.size())
        && ::madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED) == 0)
        m_released = to;
}

PackedRows::Block *const *PackedRows::read(std::size_t first, std::size_t count)
{
    count = std::min(count, m_rows.size() - std::min(first, m_rows.size()));
    if (first >= m_packed)
        return m_rows.data() + first;
    if (m_dropped)
        throw std::logic_error("a dropped coefficient row was read");
    if (m_bufferBlocks < count * m_width) {
        m_buffer = std::make_unique_for_overwrite<Block[]>(count * m_width);
        m_bufferBlocks = count * m_width;
    }
    m_band.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t row = first + i;
        if (row < m_packed) {
            m_band[i] = m_buffer.get() + i * m_width;
            unpack(row, m_band[i]);
        } else {
            m_band[i] = m_rows[row];
        }
    }
    return m_band.data();
}
