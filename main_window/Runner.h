#pragma once

#include <QCoreApplication>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
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

    // How a worker reaches the window's thread: safe to copy and call from
    // any thread. It holds the runner weakly, so a call that arrives after
    // the runner has gone is dropped instead of reaching a dead window.
    class Poster
    {
    public:
        void operator()(std::function<void()> call) const;

    private:
        friend class Runner;
        std::shared_ptr<const QPointer<Runner>> m_target;
    };

    explicit Runner(QObject *parent = nullptr) : QObject(parent) {}
    // Cancels the running work and waits for work that cannot be abandoned
    // (a squash), so that nothing outlives the window it reports to.
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

    // Made on the window's thread, for a worker to use.
    Poster poster();

    // Asks the running work to stop; an abandonable one ends its step now.
    void cancelRunning();
    // Drops every step that has not started, and cancels the running work.
    void cancelAll();

    bool busy() const { return m_running || !m_queue.empty(); }
    // Whether a step is running its window-thread part right now.
    bool inStep() const { return m_running && !m_waiting; }
    // Whether the running step waits for abandonable work (a load).
    bool runningAbandonable() const { return m_waiting && m_abandonable; }

signals:
    void busyChanged(bool busy);
    // A step or a `done` handler threw: what it threw, for the window to show.
    void failed(std::exception_ptr error);

private:
    void startNext();
    void stepEnded();
    void guarded(const std::function<void()> &body);

    std::deque<Step> m_queue;
    bool m_running = false;
    bool m_waiting = false;          // the running step handed work to a worker
    bool m_abandonable = false;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::function<void()> m_abandon;   // detaches the running work's watcher
    std::function<void()> m_wait;      // blocks until the running work has ended
    std::shared_ptr<const QPointer<Runner>> m_self;
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
    m_wait = [watcher] { watcher->waitForFinished(); };
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, done] {
        Outcome outcome = watcher->result();
        watcher->deleteLater();
        m_abandon = nullptr;
        m_wait = nullptr;
        m_cancel.reset();
        m_waiting = false;
        guarded([&] { done(std::move(outcome.value), outcome.error); });
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
