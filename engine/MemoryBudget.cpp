#include "MemoryBudget.h"

#include "AppError.h"

#include <QMutex>
#include <QWaitCondition>
#include <algorithm>
#include <unistd.h>

namespace {

const QString kSource = QStringLiteral("Quillmoss.MemoryBudget");
constexpr qint64 MiB = 1024 * 1024;

QMutex mutex;
QWaitCondition released;

// What the reservations of this thread cover (the outermost one's bytes).
thread_local qint64 t_covered = 0;

qint64 machineMemory()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 4096 * MiB;
}

[[noreturn]] void refuse(qint64 bytes, qint64 width, qint64 height, qint64 limit)
{
    throw AppError(AppError::OutOfMemory, kSource,
                   QStringLiteral("Out of memory (a picture of %1 x %2 pixels needs %3 MB; at most %4 MB can be used)")
                       .arg(width)
                       .arg(height)
                       .arg((bytes + MiB - 1) / MiB)
                       .arg(limit / MiB));
}

} // namespace

MemoryBudget::MemoryBudget() : m_total(std::min<qint64>(2048 * MiB, machineMemory() / 2)) {}

MemoryBudget &MemoryBudget::instance()
{
    static MemoryBudget budget;
    return budget;
}

MemoryBudget::Reservation MemoryBudget::reserve(qint64 bytes, qint64 width, qint64 height)
{
    Reservation r;
    bytes = std::max<qint64>(bytes, 0);
    const bool nested = t_covered > 0;
    const qint64 extra = nested ? std::max<qint64>(bytes - t_covered, 0) : bytes;
    if (extra == 0)
        return r;
    if (bytes > m_total)
        refuse(bytes, width, height, m_total);
    QMutexLocker lock(&mutex);
    // A thread that already holds memory does not wait for others: two such
    // threads could wait for each other for ever.
    while (m_used + extra > m_total) {
        if (nested)
            refuse(bytes, width, height, m_total - m_used);
        released.wait(&mutex);
    }
    m_used += extra;
    r.m_bytes = extra;
    r.m_outer = !nested;
    if (r.m_outer) {
        r.m_covers = bytes;
        t_covered = bytes;
    }
    return r;
}

void MemoryBudget::giveBack(qint64 bytes)
{
    QMutexLocker lock(&mutex);
    m_used -= bytes;
    released.wakeAll();
}

MemoryBudget::Reservation::Reservation(Reservation &&other) noexcept { *this = std::move(other); }

MemoryBudget::Reservation &MemoryBudget::Reservation::operator=(Reservation &&other) noexcept
{
    if (this != &other) {
        release();
        m_bytes = std::exchange(other.m_bytes, 0);
        m_covers = std::exchange(other.m_covers, 0);
        m_outer = std::exchange(other.m_outer, false);
    }
    return *this;
}

MemoryBudget::Reservation::~Reservation() { release(); }

void MemoryBudget::Reservation::release()
{
    if (m_outer)
        t_covered = 0;
    if (m_bytes > 0)
        MemoryBudget::instance().giveBack(m_bytes);
    m_bytes = m_covers = 0;
    m_outer = false;
}
