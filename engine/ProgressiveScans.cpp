#include "ProgressiveScans.h"

#include "JpegDecoder.h"
#include "JpegTransform.h"

#include <algorithm>
#include <cstring>

namespace ProgressiveScans {
namespace {

using JpegTransform::kNatural;

// More than one block's worth of bits past the data: a block is checked
// for running past the end only once it is decoded.
constexpr std::size_t kPadding = 512;

// The bits of a scan's entropy-coded data, stuffed zero bytes taken out.
struct Reader
{
    const std::uint8_t *data = nullptr;
    std::uint64_t pos = 0;   // in bits

    // The next 64 bits, the first one highest.
    std::uint64_t window() const
    {
        std::uint64_t v;
        std::memcpy(&v, data + (pos >> 3), sizeof v);
        return __builtin_bswap64(v) << (pos & 7);
    }
    // The next n (1 to 16) bits as a number.
    unsigned take(int n)
    {
        const auto v = unsigned(window() >> (64 - n));
        pos += unsigned(n);
        return v;
    }
};

// libjpeg's derived decoding table (jpeg_make_d_derived_tbl), with a
// 9-bit lookahead.
struct Huffman
{
    static constexpr int kLook = 9;
    std::uint16_t fast[1 << kLook] = {};   // length << 8 | symbol; 0: a longer code
    std::int32_t maxcode[18] = {};
    std::int32_t valoffset[18] = {};
    std::uint8_t symbols[256] = {};

    // False for a table libjpeg refuses.
    bool build(const Plan::Table &t)
    {
        std::uint8_t size[257] = {};
        std::int32_t code[257] = {};
        int p = 0;
        for (int l = 1; l <= 16; ++l) {
            if (p + t.counts[l] > 256)
                return false;
            for (int i = 0; i < t.counts[l]; ++i)
                size[p++] = std::uint8_t(l);
        }
        std::int32_t next = 0;
        for (int k = 0, length = size[0]; size[k];) {
            while (size[k] == length)
                code[k++] = next++;
            if (next >= (std::int32_t(1) << length))
                return false;
            next <<= 1;
            ++length;
        }
        p = 0;
        for (int l = 1; l <= 16; ++l) {
            maxcode[l] = -1;
            if (t.counts[l]) {
                valoffset[l] = p - code[p];
                p += t.counts[l];
                maxcode[l] = code[p - 1];
            }
        }
        maxcode[17] = 0xFFFFF;
        std::copy(t.symbols, t.symbols + 256, symbols);
        for (int k = 0; k < p && size[k] <= kLook; ++k) {
            const int spare = kLook - size[k];
            for (int i = 0; i < (1 << spare); ++i)
                fast[(code[k] << spare) | i] = std::uint16_t(size[k] << 8 | t.symbols[k]);
        }
        return true;
    }

    // The next symbol, or -1 for bits that are no code.
    int decode(Reader &in) const
    {
        const std::uint64_t w = in.window();
        if (const std::uint16_t e = fast[w >> (64 - kLook)]) {
            in.pos += e >> 8;
            return e & 0xFF;
        }
        for (int l = kLook + 1; l <= 16; ++l) {
            const auto c = std::int32_t(w >> (64 - l));
            if (c <= maxcode[l]) {
                in.pos += unsigned(l);
                return symbols[(c + valoffset[l]) & 0xFF];
            }
        }
        return -1;
    }
};

int extend(unsigned bits, int size)
{
    return bits < (1u << (size - 1)) ? int(bits) - int((1u << size) - 1) : int(bits);
}

struct Blocks
{
    const std::vector<Block *> &rows;
    int width, height;
    const std::atomic<bool> &stop;
};

// Hands the blocks to `block` in raster order (false from it: give up), and
// gives up at a stop or once the data have run out.
template <typename PerBlock>
bool eachBlock(const Blocks &blocks, const Reader &in, std::uint64_t end, PerBlock &&block)
{
    for (int r = 0; r < blocks.height; ++r) {
        if (blocks.stop)
            return false;
        for (int c = 0; c < blocks.width; ++c)
            if (!block(blocks.rows[std::size_t(r)][c]) || in.pos > end)
                return false;
    }
    return true;
}

// The first pass over a band (decode_mcu_AC_first).
bool first(const Plan::Scan &scan, const Huffman &h, Reader &in, std::uint64_t end, const Blocks &blocks)
{
    unsigned eobrun = 0;
    return eachBlock(blocks, in, end, [&](std::int16_t *b) {
        if (eobrun > 0) {
            --eobrun;
            return true;
        }
        for (int k = scan.ss; k <= scan.se; ++k) {
            const int symbol = h.decode(in);
            if (symbol < 0)
                return false;
            const int run = symbol >> 4, size = symbol & 15;
            if (size) {
                k += run;
                if (k > scan.se)
                    return false;
                b[kNatural[k]] = std::int16_t(unsigned(extend(in.take(size), size)) << scan.al);
            } else if (run == 15) {
                k += 15;
            } else {
                eobrun = 1u << run;
                if (run)
                    eobrun += in.take(run);
                --eobrun;
                break;
            }
        }
        return true;
    });
}

// A refining pass: one more bit of the band (decode_mcu_AC_refine).
bool refine(const Plan::Scan &scan, const Huffman &h, Reader &in, std::uint64_t end, const Blocks &blocks)
{
    const int p1 = 1 << scan.al, m1 = -p1;
    const auto correct = [&](std::int16_t &coef) {
        if (in.take(1) && (coef & p1) == 0)
            coef = std::int16_t(coef + (coef >= 0 ? p1 : m1));
    };
    unsigned eobrun = 0;
    return eachBlock(blocks, in, end, [&](std::int16_t *b) {
        int k = scan.ss;
        if (eobrun == 0) {
            for (; k <= scan.se; ++k) {
                const int symbol = h.decode(in);
                if (symbol < 0)
                    return false;
                int run = symbol >> 4;
                const int size = symbol & 15;
                int value = 0;
                if (size) {
                    if (size != 1)
                        return false;
                    value = in.take(1) ? p1 : m1;
                } else if (run != 15) {
                    eobrun = 1u << run;
                    if (run)
                        eobrun += in.take(run);
                    break;
                }
                // Past the coefficients already set (each gets its
                // correction bit) and `run` still-zero ones.
                do {
                    std::int16_t &coef = b[kNatural[k]];
                    if (coef != 0)
                        correct(coef);
                    else if (--run < 0)
                        break;
                    ++k;
                } while (k <= scan.se);
                if (value) {
                    if (k > scan.se)
                        return false;
                    b[kNatural[k]] = std::int16_t(value);
                }
            }
        }
        if (eobrun > 0) {
            for (; k <= scan.se; ++k) {
                std::int16_t &coef = b[kNatural[k]];
                if (coef != 0)
                    correct(coef);
            }
            --eobrun;
        }
        return true;
    });
}

} // namespace

bool Plan::decode(int component, const std::vector<Block *> &rows, int widthInBlocks, int heightInBlocks,
                  const std::atomic<bool> &stop) const
{
    if (widthInBlocks <= 0 || heightInBlocks <= 0 || rows.size() < std::size_t(heightInBlocks))
        return false;
    const Blocks blocks {rows, widthInBlocks, heightInBlocks, stop};
    const char *file = m_file.constData();
    std::vector<std::uint8_t> data;
    for (const Scan &scan : m_scans) {
        if (scan.component != component)
            continue;
        // The stuffed zero after each 0xFF taken out.
        data.resize(std::size_t(scan.end - scan.begin) + kPadding);
        std::size_t bytes = 0;
        for (const char *from = file + scan.begin, *to = file + scan.end; from < to;) {
            const char *ff = static_cast<const char *>(std::memchr(from, 0xFF, std::size_t(to - from)));
            const char *upTo = ff ? ff + 1 : to;
            std::memcpy(data.data() + bytes, from, std::size_t(upTo - from));
            bytes += std::size_t(upTo - from);
            from = ff ? ff + 2 : to;
        }
        std::fill(data.begin() + std::ptrdiff_t(bytes), data.end(), 0);
        Huffman h;
        if (!h.build(scan.table))
            return false;
        Reader in {data.data(), 0};
        const std::uint64_t end = std::uint64_t(bytes) * 8;
        if (!(scan.ah == 0 ? first(scan, h, in, end, blocks) : refine(scan, h, in, end, blocks)))
            return false;
        // libjpeg reads on to the marker and complains of bytes it skips.
        if ((in.pos + 7) / 8 != bytes)
            return false;
    }
    return true;
}

std::unique_ptr<const Plan> Split(const QByteArray &file)
{
    const auto *d = reinterpret_cast<const std::uint8_t *>(file.constData());
    const qsizetype n = file.size();
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return nullptr;
    auto plan = std::make_unique<Plan>();
    plan->m_file = file;
    Plan::Table tables[4];
    bool defined[4] = {};
    int ids[4] = {}, components = 0, scans = 0;
    int bits[4][64];   // each coefficient's last refined bit so far, -1: none (libjpeg's coef_bits)
    std::fill(&bits[0][0], &bits[0][0] + 4 * 64, -1);
    qsizetype copied = 0;
    qsizetype i = 2;
    for (;;) {
        if (i >= n || d[i] != 0xFF)
            return nullptr;
        const qsizetype at = i;
        while (i < n && d[i] == 0xFF)
            ++i;
        if (i >= n)
            return nullptr;
        const std::uint8_t marker = d[i++];
        if (marker == 0xD9)
            break;
        if (i + 2 > n)
            return nullptr;
        const int length = d[i] << 8 | d[i + 1];
        if (length < 2 || i + length > n)
            return nullptr;
        const std::uint8_t *s = d + i + 2, *segmentEnd = d + i + length;
        switch (marker) {
        case 0xC4:   // Huffman tables
            while (s < segmentEnd) {
                if (segmentEnd - s < 17)
                    return nullptr;
                const int kind = s[0] >> 4, slot = s[0] & 15;
                int count = 0;
                for (int l = 1; l <= 16; ++l)
                    count += s[l];
                if (kind > 1 || slot > 3 || count > 256 || segmentEnd - s < 17 + count)
                    return nullptr;
                if (kind == 1) {
                    tables[slot] = {};
                    std::copy(s + 1, s + 17, tables[slot].counts + 1);
                    std::copy(s + 17, s + 17 + count, tables[slot].symbols);
                    defined[slot] = true;
                }
                s += 17 + count;
            }
            break;
        case 0xC2:   // progressive, Huffman-coded frame
            if (components || length < 8 || s[0] != 8)
                return nullptr;
            components = s[5];
            if (components < 1 || components > 4 || length != 8 + 3 * components)
                return nullptr;
            for (int c = 0; c < components; ++c) {
                ids[c] = s[6 + 3 * c];
                if (std::count(ids, ids + c, ids[c]))
                    return nullptr;
            }
            break;
        case 0xDD:   // a restart interval: none is read here
            if (length != 4 || s[0] || s[1])
                return nullptr;
            break;
        case 0xDA: {
            const int count = components && length >= 3 ? s[0] : 0;
            if (count < 1 || count > components || length != 6 + 2 * count || ++scans > JpegDecoder::MaxScans)
                return nullptr;
            int in[4];
            for (int k = 0; k < count; ++k) {
                in[k] = int(std::find(ids, ids + components, s[1 + 2 * k]) - ids);
                if (in[k] == components || std::count(in, in + k, in[k]))
                    return nullptr;
            }
            const std::uint8_t *p = s + 1 + 2 * count;
            Plan::Scan scan;
            scan.ss = p[0];
            scan.se = p[1];
            scan.ah = p[2] >> 4;
            scan.al = p[2] & 15;
            const bool dc = scan.ss == 0;
            if ((dc && scan.se != 0) || (!dc && (scan.ss > scan.se || scan.se > 63 || count != 1))
                || (scan.ah != 0 && scan.al != scan.ah - 1) || scan.al > 13)
                return nullptr;
            // The order libjpeg accepts without a warning.
            for (int k = 0; k < count; ++k) {
                int *b = bits[in[k]];
                if (!dc && b[0] < 0)
                    return nullptr;
                for (int coef = scan.ss; coef <= scan.se; ++coef) {
                    if (scan.ah != std::max(b[coef], 0))
                        return nullptr;
                    b[coef] = scan.al;
                }
            }
            // The entropy-coded data run to the first marker.
            qsizetype e = i + length;
            for (;;) {
                const auto *ff = static_cast<const std::uint8_t *>(std::memchr(d + e, 0xFF, std::size_t(n - e)));
                e = ff ? ff - d : n;
                if (e + 1 >= n)
                    return nullptr;
                if (d[e + 1] != 0)
                    break;
                e += 2;
            }
            if (d[e + 1] >= 0xD0 && d[e + 1] <= 0xD7)
                return nullptr;
            if (!dc) {
                const int slot = p[-1] & 15;
                if (slot > 3 || !defined[slot])
                    return nullptr;
                scan.component = in[0];
                scan.table = tables[slot];
                scan.begin = i + length;
                scan.end = e;
                plan->m_scans.push_back(scan);
                plan->m_rest.append(file.constData() + copied, at - copied);
                copied = e;
            }
            i = e;
            continue;
        }
        case 0xDB:   // quantisation tables
        case 0xFE:   // a comment
            break;
        default:
            if (marker < 0xE0 || marker > 0xEF)   // application data
                return nullptr;
        }
        i += length;
    }
    // Every coefficient refined to its last bit: libjpeg then neither
    // smooths blocks nor needs the scans in order to output them.
    for (int c = 0; c < components; ++c)
        if (std::any_of(bits[c], bits[c] + 64, [](int b) { return b != 0; }))
            return nullptr;
    if (plan->m_scans.empty())
        return nullptr;
    plan->m_rest.append(file.constData() + copied, n - copied);
    return plan;
}

} // namespace ProgressiveScans
