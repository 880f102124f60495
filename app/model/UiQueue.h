// How the workers reach the window: a queue of steps that the UI thread runs in
// the order they were posted. The face says how the UI thread is woken (a
// queued call, a posted window message); the UI thread then calls Drain().
//
// Everything a step carries crosses threads through the queue's own mutex.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace qm::window {

class UiQueue {
public:
    using Step = std::function<void()>;

    UiQueue() = default;
    UiQueue(const UiQueue&) = delete;
    UiQueue& operator=(const UiQueue&) = delete;

    // Set once by the face, before any worker starts: asks the UI thread to
    // call Drain() soon. Called from any thread; must not block.
    void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

    // ---- Worker side -----------------------------------------------------------
    // Queues a step. Dropped once the queue is closed.
    void Post(Step step);
    // Queues a step once fewer than `limit` bounded steps are waiting to run,
    // so that a fast producer never runs far ahead of the window. False (and
    // nothing queued) when the queue closes while waiting.
    bool PostBounded(Step step, int limit);
    // Runs `f` on the UI thread and returns its result, or nullopt when the
    // queue closes first. Waits in short slices, so closing never deadlocks.
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
    // Runs the steps queued so far, for at most a short while (a later wake-up
    // runs the rest, so that the window can paint between batches).
    void Drain();

private:
    struct Entry {
        Step step;
        bool bounded = false;
    };
    void Wake();

    std::function<void()> wake_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    int boundedQueued_ = 0;
    std::atomic<bool> closing_{false};
    std::atomic<bool> wakePending_{false};
    bool draining_ = false;  // UI thread only
};

}  // namespace qm::window
