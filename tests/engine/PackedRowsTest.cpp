// A progressive file's coefficients are packed between reads of its rows;
// they must come back as they were.

#include "PackedRows.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

using Block = PackedRows::Block;

// Blocks at the edges of the packing: empty, a DC alone, every AC in a
// byte's range or one just outside it, the extremes, and photo-like ones.
std::vector<std::vector<std::int16_t>> blocks()
{
    std::vector<std::vector<std::int16_t>> all;
    const auto block = [&](std::initializer_list<std::pair<int, int>> set) {
        std::vector<std::int16_t> b(64, 0);
        for (auto [k, v] : set)
            b[std::size_t(k)] = std::int16_t(v);
        all.push_back(b);
    };
    block({});
    block({{0, -1024}});
    block({{0, 5}, {1, 127}, {2, -128}, {63, 1}});
    block({{0, 2}, {5, 128}, {9, -3}});
    block({{0, -32768}, {1, -129}, {32, 32767}, {63, -1}});
    block({{31, 1}, {32, -1}});
    std::vector<std::int16_t> full(64);
    for (int k = 0; k < 64; ++k)
        full[std::size_t(k)] = std::int16_t(k % 2 ? -k - 1 : k + 1);
    all.push_back(full);
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::vector<std::int16_t> b(64, 0);
        for (int k = 0; k < 64; ++k)
            if (random() % (k + 2) == 0)
                b[std::size_t(k)] = std::int16_t(int(random() % 601) - 300);
        all.push_back(b);
    }
    return all;
}

} // namespace

TEST(PackedRows, BlocksComeBackAsTheyWere)
{
    const auto all = blocks();
    std::vector<bool> ways = {false};
    if (PackedRows::CanVectorise())
        ways.push_back(true);
    for (const bool vectorised : ways) {
        SCOPED_TRACE(vectorised ? "vector" : "scalar");
        // One after another, as in a row: each block's scribbling is
        // overwritten by the next.
        std::vector<std::uint8_t> bytes(all.size() * PackedRows::MostBytes);
        std::uint8_t *out = bytes.data();
        Block in;
        for (const auto &b : all) {
            std::memcpy(in, b.data(), sizeof in);
            out = PackedRows::PackBlock(in, out, vectorised);
        }
        const std::uint8_t *at = bytes.data();
        for (std::size_t i = 0; i < all.size(); ++i) {
            Block back;
            std::memset(back, 0x55, sizeof back);
            at = PackedRows::UnpackBlock(at, back, vectorised);
            EXPECT_EQ(std::vector<std::int16_t>(back, back + 64), all[i]) << "block " << i;
        }
        EXPECT_EQ(at, out);
    }
}

// Rows packed, their pages gone, are read back unpacked; rows not yet
// packed are read in place; rows dropped are not to be read.
TEST(PackedRows, RowsPackedAreReadBack)
{
    const auto all = blocks();
    const std::size_t width = 97, height = 40;
    std::vector<Block> blocksInPlace(width * height);
    for (std::size_t i = 0; i < blocksInPlace.size(); ++i)
        std::memcpy(blocksInPlace[i], all[i % all.size()].data(), sizeof(Block));
    const auto *flat = reinterpret_cast<const std::int16_t *>(blocksInPlace.data());
    const std::vector<std::int16_t> original(flat, flat + blocksInPlace.size() * 64);
    std::vector<Block *> rows;
    for (std::size_t r = 0; r < height; ++r)
        rows.push_back(blocksInPlace.data() + r * width);

    PackedRows packed(rows, width);
    packed.pass(25, false);
    EXPECT_EQ(packed.packed(), 25u);
    std::memset(blocksInPlace.data(), 0, 25 * width * sizeof(Block));   // as if the pages went back
    for (std::size_t first = 0; first + 3 <= height; first += 3) {
        Block *const *band = packed.read(first, 3);
        for (std::size_t r = 0; r < 3; ++r)
            EXPECT_EQ(std::memcmp(band[r], &original[(first + r) * width * 64], width * sizeof(Block)), 0)
                << "row " << first + r;
    }
    packed.pass(height, true);
    EXPECT_THROW(packed.read(0, 1), std::logic_error);
}
