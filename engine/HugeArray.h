#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <sys/mman.h>

// Asks for huge pages for the 2 MiB-aligned part of a range not yet touched:
// on this kind of machine a first touch costs about four times as much on
// 4 KiB pages as on 2 MiB ones.
inline void PreferHugePages(const void *begin, std::size_t bytes)
{
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    const auto from = (reinterpret_cast<std::uintptr_t>(begin) + huge - 1) / huge * huge;
    const auto to = (reinterpret_cast<std::uintptr_t>(begin) + bytes) / huge * huge;
    if (to > from)
        ::madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

// A large, uninitialised array on huge pages where the system grants them:
// first touches of a whole picture otherwise cost a page fault per 4 KiB, a
// good part of the one-off work. Small arrays are plain allocations, so that
// a thumbnail does not hold a 2 MiB page.
template <typename T>
class HugeArray
{
public:
    HugeArray() = default;
    // Throws std::bad_alloc when the memory cannot be had.
    explicit HugeArray(std::size_t count)
    {
        constexpr std::size_t huge = std::size_t(2) << 20;
        const std::size_t wanted = std::max<std::size_t>(count * sizeof(T), 1);
        if (wanted < 4 * huge) {
            m_data.reset(static_cast<T *>(std::malloc(wanted)));
        } else {
            const std::size_t bytes = (wanted + huge - 1) / huge * huge;
            m_data.reset(static_cast<T *>(std::aligned_alloc(huge, bytes)));
            if (m_data)
                PreferHugePages(m_data.get(), bytes);
        }
        if (!m_data)
            throw std::bad_alloc();
    }
    T *get() const { return m_data.get(); }
    // Gives up ownership; the caller frees the array with std::free.
    T *release() { return m_data.release(); }

private:
    struct Free
    {
        void operator()(T *p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> m_data;
};
