#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>

// The window's one queue of work. Steps run on the window's thread one at a
// time, in order; a step may hand its long part to a worker thread with
// run(), and the queue goes on when that part's result has been handled.
// Nothing here spins an event loop: workers report back through queued
// calls, delivered in the order they were made.
class Runner : public QObject
{
    Q_OBJECT
public:
    using Step = std::function<void()>;
    using Cancelled = std::shared_ptr<const std::atomic<bool>>;

    explicit Runner(QObject *parent = nullptr) : QObject(parent) {}
    ~Runner() override;

    // At the end of the queue; starts at once when nothing runs.
    void add(Step step);
    // Right after the running step, before the rest of the queue.
    void addNext(std::vector<Step> steps);

    // From inside a step: runs `work` on a worker thread, then `done` with
    // its result, or with what it threw, on the window's thread. `work` should
    // stop early once its cancel flag is set. An abandonable piece of work
    // (a load: it writes nothing) is left to finish unseen when cancelled;
    // any other is waited for.
    template <typename T>
    void run(std::function<T(const std::atomic<bool> &)> work,
             std::function<void(T, std::exception_ptr)> done, bool abandonable);

    // Queues `call` on the window's thread; safe from any thread.
    void post(std::function<void()> call);

    // Asks the running work to stop; an abandonable one ends its step now.
    void cancelRunning();
    // Drops every step that has not started, and cancels the running work.
    void cancelAll();

    bool busy() const { return m_running || !m_queue.empty(); }
    // Whether a step is running its window-thread part right now.
    bool inStep() const { return m_running && !m_waiting; }

signals:
    void busyChanged(bool busy);

private:
    void startNext();
    void stepEnded();

    std::deque<Step> m_queue;
    bool m_running = false;
    bool m_waiting = false;          // the running step handed work to a worker
    bool m_abandonable = false;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::function<void()> m_abandon;   // detaches the running work's watcher
};

template <typename T>
void Runner::run(std::function<T(const std::atomic<bool> &)> work, std::function<void(T, std::exception_ptr)> done,
                 bool abandonable)
{
    struct Outcome
    {
        T value{};
        std::exception_ptr error;
    };
    const auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto *watcher = new QFutureWatcher<Outcome>(this);
    m_cancel = cancel;
    m_waiting = true;
    m_abandonable = abandonable;
    m_abandon = [watcher] {
        watcher->disconnect();
        QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, &QObject::deleteLater);
    };
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done] {
        Outcome outcome = watcher->result();
        watcher->deleteLater();
        m_abandon = nullptr;
        m_cancel.reset();
        m_waiting = false;
        try {
            done(std::move(outcome.value), outcome.error);
        } catch (...) {
        }
        stepEnded();
    });
    // An exception on the worker is carried back to `done`, never lost.
    watcher->setFuture(QtConcurrent::run([work, cancel]() -> Outcome {
        Outcome outcome;
        try {
            outcome.value = work(*cancel);
        } catch (...) {
            outcome.error = std::current_exception();
        }
        return outcome;
    }));
}
