// How the workers reach the window: a queue of steps that the UI thread runs in
// the order they were posted, and the plumbing that lets the UI thread delete a
// finished worker safely.
//
// Everything a step carries crosses threads through the queue's own mutex, and
// the UI thread is only woken by a queued call without arguments, so that the
// hand-over is visible to ThreadSanitizer even though the toolkit is not built
// with it.
#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qm::gui {

class UiStream : public QObject {
    Q_OBJECT
public:
    using Step = std::function<void()>;

    explicit UiStream(QObject* parent = nullptr);
    ~UiStream() override;

    // ---- Worker side -----------------------------------------------------------
    // Queues a step. Dropped once the stream is closed.
    void Post(Step step);
    // Queues a step once fewer than `limit` bounded steps are waiting to run,
    // so that a fast producer never runs far ahead of the window. False (and
    // nothing queued) when the stream closes while waiting.
    bool PostBounded(Step step, int limit);
    // Runs `f` on the UI thread and returns its result, or nullopt when the
    // stream closes first. Waits in short slices, so closing never deadlocks.
    template <typename T, typename F>
    std::optional<T> Ask(F f) {
        auto box = std::make_shared<std::optional<T>>();
        if (!Call([box, f = std::move(f)]() mutable { *box = f(); })) return std::nullopt;
        return std::move(*box);
    }
    bool Call(Step step);

    // Set while the window is stopping its workers; they give up waiting.
    const std::atomic<bool>& ClosingFlag() const { return closing_; }

    // ---- UI side ---------------------------------------------------------------
    // Wakes every waiting worker and drops every queued step until Reopen().
    void Close();
    void Reopen();

public slots:
    // Runs the steps queued so far (a later wake-up runs the rest, so that the
    // window can paint between batches).
    void Drain();

private:
    struct Entry {
        Step step;
        bool bounded = false;
    };
    void Wake();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    int boundedQueued_ = 0;
    std::atomic<bool> closing_{false};
    std::atomic<bool> wakePending_{false};
    bool draining_ = false;  // UI thread only
};

// A worker thread of the window. The window deletes it on the UI thread once
// its thread has ended, through Join().
class WorkerThread : public QThread {
    Q_OBJECT
public:
    explicit WorkerThread(QObject* parent = nullptr);
    ~WorkerThread() override;

    // UI thread: returns once the thread has ended, QThread's own bookkeeping included.
    void Join();

protected:
    // Worker thread, first thing in run(): have the thread's end signalled to Join().
    void ArmExitSignal();

private:
    struct ExitState {
        std::mutex mutex;
        std::condition_variable cv;
        bool armed = false;
        bool exited = false;
    };
    std::shared_ptr<ExitState> exit_;
};

}  // namespace qm::gui
