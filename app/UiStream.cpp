#include "app/UiStream.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <chrono>
#include <vector>

namespace qm::gui {
namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(50);
// One Drain runs steps for at most this long before it lets the window paint.
constexpr qint64 kDrainBudgetMs = 40;

}  // namespace

UiStream::UiStream(QObject* parent) : QObject(parent) {}
UiStream::~UiStream() = default;

void UiStream::Wake() {
    if (!wakePending_.exchange(true))
        QMetaObject::invokeMethod(this, "Drain", Qt::QueuedConnection);
}

void UiStream::Post(Step step) {
    {
        std::lock_guard lock(mutex_);
        if (closing_.load()) return;
        queue_.push_back(Entry{std::move(step), false});
    }
    Wake();
}

bool UiStream::PostBounded(Step step, int limit) {
    {
        std::unique_lock lock(mutex_);
        while (boundedQueued_ >= limit) {
            if (closing_.load()) return false;
            cv_.wait_for(lock, kWaitSlice);
        }
        if (closing_.load()) return false;
        queue_.push_back(Entry{std::move(step), true});
        ++boundedQueued_;
    }
    Wake();
    return true;
}

bool UiStream::Call(Step step) {
    auto done = std::make_shared<bool>(false);  // guarded by mutex_
    {
        std::lock_guard lock(mutex_);
        if (closing_.load()) return false;
        queue_.push_back(Entry{[this, done, step = std::move(step)] {
                                   step();
                                   std::lock_guard l(mutex_);
                                   *done = true;
                               },
                               false});
    }
    Wake();
    std::unique_lock lock(mutex_);
    while (!*done) {
        if (closing_.load()) return false;
        cv_.wait_for(lock, kWaitSlice);
    }
    return true;
}

void UiStream::Close() {
    {
        std::lock_guard lock(mutex_);
        closing_.store(true);
        queue_.clear();
        boundedQueued_ = 0;
    }
    cv_.notify_all();
}

void UiStream::Reopen() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    boundedQueued_ = 0;
    closing_.store(false);
}

void UiStream::Drain() {
    wakePending_.store(false);
    if (draining_) return;
    draining_ = true;
    QElapsedTimer timer;
    timer.start();
    std::size_t budget;
    {
        std::lock_guard lock(mutex_);
        budget = queue_.size();
    }
    while (budget-- > 0) {
        Entry e;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) break;
            e = std::move(queue_.front());
            queue_.pop_front();
        }
        e.step();
        {
            std::lock_guard lock(mutex_);
            if (e.bounded && boundedQueued_ > 0) --boundedQueued_;
        }
        cv_.notify_all();
        if (timer.elapsed() > kDrainBudgetMs) break;
    }
    draining_ = false;
    bool more;
    {
        std::lock_guard lock(mutex_);
        more = !queue_.empty();
    }
    if (more) Wake();
}

// ---- WorkerThread ------------------------------------------------------------------

namespace {

// Signals the end of a thread from its thread-local destructors, which run
// after QThread has finished with the thread: only then may its object go.
struct ExitNotices {
    std::vector<std::function<void()>> notices;
    ~ExitNotices() {
        for (auto& n : notices) n();
    }
};
thread_local ExitNotices t_exitNotices;

}  // namespace

WorkerThread::WorkerThread(QObject* parent)
    : QThread(parent), exit_(std::make_shared<ExitState>()) {}

WorkerThread::~WorkerThread() = default;

void WorkerThread::ArmExitSignal() {
    std::shared_ptr<ExitState> state = exit_;
    {
        std::lock_guard lock(state->mutex);
        state->armed = true;
    }
    t_exitNotices.notices.push_back([state] {
        std::lock_guard lock(state->mutex);
        state->exited = true;
        state->cv.notify_all();
    });
}

void WorkerThread::Join() {
    wait();
    std::unique_lock lock(exit_->mutex);
    if (!exit_->armed) return;  // run() never started
    exit_->cv.wait(lock, [this] { return exit_->exited; });
}

}  // namespace qm::gui
