#pragma once

#include <QByteArray>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// A progressive JPEG spends most of its decode in its AC scans, one after
// another on one thread. Those scans are decoded here, a component per
// thread beside libjpeg, which reads the rest of the file.
namespace ProgressiveScans {

using Block = std::int16_t[64];   // libjpeg's JBLOCK, in natural order

class Plan
{
public:
    // The file less its AC scans, for libjpeg: its own checks and warnings
    // still see every other byte.
    const QByteArray &rest() const { return m_rest; }

    // Decodes the split-off scans of one component (its index in the frame)
    // into its coefficients (`rows[r][c]`, block row r, column c, at least
    // what the frame holds; the DC coefficients are libjpeg's). False when
    // the data are not ones libjpeg reads without a word (a bad code, a
    // short scan, bytes left over): the caller then decodes the whole file
    // with libjpeg.
    bool decode(int component, const std::vector<Block *> &rows, int widthInBlocks, int heightInBlocks,
                const std::atomic<bool> &stop) const;

    struct Table
    {
        std::uint8_t counts[17] = {};   // codes of each length 1 to 16
        std::uint8_t symbols[256] = {};
    };
    struct Scan
    {
        int component = 0;
        int ss = 0, se = 0, ah = 0, al = 0;
        Table table;
        qsizetype begin = 0, end = 0;   // the entropy-coded bytes in the file
    };

private:
    friend std::unique_ptr<const Plan> Split(const QByteArray &file);
    QByteArray m_file, m_rest;
    std::vector<Scan> m_scans;
};

// A plan for a progressive, Huffman-coded file whose every coefficient is
// refined to its last bit and which has no restart markers; null for any
// other file, which libjpeg then decodes alone.
std::unique_ptr<const Plan> Split(const QByteArray &file);

} // namespace ProgressiveScans
