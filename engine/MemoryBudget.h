#pragma once

#include <QtGlobal>

// The memory that pictures may take, one budget for the whole process: the
// window's loads and squashes and the command line's parallel workers all
// reserve from it before they allocate, so that together they stay within it.
class MemoryBudget
{
public:
    // Held while the memory is in use; gives it back when destroyed.
    class Reservation
    {
    public:
        Reservation() = default;
        Reservation(Reservation &&other) noexcept;
        Reservation &operator=(Reservation &&other) noexcept;
        Reservation(const Reservation &) = delete;
        Reservation &operator=(const Reservation &) = delete;
        ~Reservation();
        qint64 bytes() const { return m_bytes; }

    private:
        friend class MemoryBudget;
        void release();
        qint64 m_bytes = 0;     // taken from the budget by this one
        qint64 m_covers = 0;    // what it covers for later reservations on its thread
        bool m_outer = false;
    };

    // The process's budget.
    static MemoryBudget &instance();

    // The bytes it holds in all: at most 2 GiB, or half the machine's memory.
    qint64 total() const { return m_total; }

    // Reserves bytes for a picture of width x height pixels. A reservation
    // made while the same thread holds a larger one is covered by it. Waits
    // while other threads hold what is needed. Throws AppError 7 naming the
    // picture's size when the budget can never hold it (or, for a thread that
    // already holds a reservation, when it is not free now).
    Reservation reserve(qint64 bytes, qint64 width, qint64 height);

private:
    MemoryBudget();
    void giveBack(qint64 bytes);

    qint64 m_total;
    qint64 m_used = 0;
};
