#include "Runner.h"

#include "ErrorHandlers.h"

Runner::~Runner()
{
    // Work still running is told to stop; its results go nowhere.
    if (m_cancel)
        *m_cancel = true;
    if (m_abandon)
        m_abandon();
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

void Runner::post(std::function<void()> call)
{
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void Runner::startNext()
{
    if (m_running || m_queue.empty())
        return;
    Step step = std::move(m_queue.front());
    m_queue.pop_front();
    m_running = true;
    m_waiting = false;
    // A step reports its own failures; one that escapes must not stop the queue.
    ErrorHandlers::skip(step);
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
        m_cancel.reset();
        m_waiting = false;
        stepEnded();
    }
}

void Runner::cancelAll()
{
    m_queue.clear();
    cancelRunning();
    if (!busy())
        emit busyChanged(false);
}
