#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <sys/mman.h>

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
                ::madvise(m_data.get(), bytes, MADV_HUGEPAGE);
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
