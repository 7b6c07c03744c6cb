#include "Runner.h"

Runner::~Runner()
{
    // Work still running is told to stop; a squash is waited for (it stops
    // after its current try and writes nothing), a load is left to finish
    // unseen. Either way its results go nowhere.
    if (m_cancel)
        *m_cancel = true;
    if (m_abandon)
        m_abandon();
    if (m_wait && !m_abandonable)
        m_wait();
}

void Runner::Poster::operator()(std::function<void()> call) const
{
    // Delivered through the application object, which outlives every
    // window; the runner is looked at only there, on the window's thread.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [target = m_target, call = std::move(call)] {
            if (*target)
                call();
        },
        Qt::QueuedConnection);
}

Runner::Poster Runner::poster()
{
    if (!m_self)
        m_self = std::make_shared<const QPointer<Runner>>(this);
    Poster p;
    p.m_target = m_self;
    return p;
}

void Runner::add(Step step)
{
    const bool wasBusy = busy();
    m_queue.push_back(std::move(step));
    if (!wasBusy) {
        emit busyChanged(true);
        startNext();
    }
}

void Runner::addNext(std::vector<Step> steps)
{
    m_queue.insert(m_queue.begin(), steps.begin(), steps.end());
}

void Runner::guarded(const std::function<void()> &body)
{
    // A step reports its own failures; one that escapes must neither stop
    // the queue nor go unseen.
    try {
        body();
    } catch (...) {
        emit failed(std::current_exception());
    }
}

void Runner::startNext()
{
    if (m_running || m_queue.empty())
        return;
    Step step = std::move(m_queue.front());
    m_queue.pop_front();
    m_running = true;
    m_waiting = false;
    guarded(step);
    if (!m_waiting)
        stepEnded();
}

void Runner::stepEnded()
{
    m_running = false;
    if (m_queue.empty()) {
        emit busyChanged(false);
        return;
    }
    // The next step starts from the event loop, so the window draws in between.
    QMetaObject::invokeMethod(this, &Runner::startNext, Qt::QueuedConnection);
}

void Runner::cancelRunning()
{
    if (m_cancel)
        *m_cancel = true;
    if (m_waiting && m_abandonable && m_abandon) {
        m_abandon();
        m_abandon = nullptr;
        m_wait = nullptr;
        m_cancel.reset();
        m_waiting = false;
        stepEnded();
    }
}

void Runner::cancelAll()
{
    const bool wasBusy = busy();
    m_queue.clear();
    if (m_waiting && m_abandonable) {
        cancelRunning();   // ends the step, and says so
        return;
    }
    if (m_cancel)
        *m_cancel = true;
    if (wasBusy && !busy())
        emit busyChanged(false);
}
