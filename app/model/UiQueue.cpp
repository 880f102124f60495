#include "app/model/UiQueue.h"

#include <chrono>

namespace qm::window {
namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(50);
// One Drain runs steps for at most this long before it lets the window paint.
constexpr auto kDrainBudget = std::chrono::milliseconds(40);

}  // namespace

void UiQueue::Wake() {
    if (!wakePending_.exchange(true) && wake_) wake_();
}

void UiQueue::Post(Step step) {
    {
        std::lock_guard lock(mutex_);
        if (closing_.load()) return;
        queue_.push_back(Entry{std::move(step), false});
    }
    Wake();
}

bool UiQueue::PostBounded(Step step, int limit) {
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

bool UiQueue::Call(Step step) {
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

void UiQueue::Close() {
    {
        std::lock_guard lock(mutex_);
        closing_.store(true);
        queue_.clear();
        boundedQueued_ = 0;
    }
    cv_.notify_all();
}

void UiQueue::Reopen() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    boundedQueued_ = 0;
    closing_.store(false);
}

void UiQueue::Drain() {
    wakePending_.store(false);
    if (draining_) return;
    draining_ = true;
    const auto started = std::chrono::steady_clock::now();
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
        if (std::chrono::steady_clock::now() - started > kDrainBudget) break;
    }
    draining_ = false;
    bool more;
    {
        std::lock_guard lock(mutex_);
        more = !queue_.empty();
    }
    if (more) Wake();
}

}  // namespace qm::window
