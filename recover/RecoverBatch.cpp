#include "recover/RecoverBatch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform/SerialisedVolume.h"
#include "scan/ScanEngine.h"

namespace qm {
namespace {

constexpr unsigned kMaxWorkers = 16;
constexpr std::size_t kNone = ~std::size_t{0};

// The bytes written by files whose results are not handed out yet. Writers
// add per chunk; the calling thread is told every kEvery at most.
class BatchProgress {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kEvery = std::chrono::milliseconds(100);

    explicit BatchProgress(std::function<void(std::uint64_t)> report)
        : report_(std::move(report)) {}
    bool active() const { return static_cast<bool>(report_); }
    // On a writing thread: true when the calling thread is due to be told.
    bool Add(std::uint64_t bytes) {
        inFlight_.fetch_add(bytes, std::memory_order_relaxed);
        const Clock::rep now = Clock::now().time_since_epoch().count();
        Clock::rep due = due_.load(std::memory_order_relaxed);
        return now >= due &&
               due_.compare_exchange_strong(due, now + kEvery.count(), std::memory_order_relaxed);
    }
    // A file's result is handed out: its bytes are no longer in flight.
    void Settled(std::uint64_t bytes) { inFlight_.fetch_sub(bytes, std::memory_order_relaxed); }
    void Report() const { report_(inFlight_.load(std::memory_order_relaxed)); }

private:
    std::function<void(std::uint64_t)> report_;
    std::atomic<std::uint64_t> inFlight_{0};
    std::atomic<Clock::rep> due_{0};
};

// One file's share of the batch's progress, used by the thread writing it.
class JobProgress final : public ContentProgress {
public:
    JobProgress(BatchProgress& batch, std::function<void()> due)
        : batch_(batch), due_(std::move(due)) {}
    void Advance(std::uint64_t bytes) override {
        written_ += bytes;
        if (batch_.Add(bytes)) due_();
    }
    std::uint64_t written() const { return written_; }

private:
    BatchProgress& batch_;
    std::function<void()> due_;
    std::uint64_t written_ = 0;
};

bool Stopped(const std::atomic<bool>* stop) {
    return stop && stop->load(std::memory_order_relaxed);
}

RecoverResult RecoverOne(RawVolume& volume, const VolumeGeometry& geometry, const RecoverJob& job,
                         OutputFactory& output, const RecoverBatchOptions& o,
                         std::atomic<bool>& sourceGone, ContentProgress* progress) {
    if (Stopped(o.stop) || Stopped(&sourceGone))
        return {RecoverStatus::Cancelled, 0, {}, {}, 0, {}, {}};
    RecoverOptions options;
    options.cancel = o.stop;
    options.abort = &sourceGone;
    options.mft = o.mft;
    options.raw = o.raw;
    options.digests = o.digests;
    options.progress = progress;
    options.times = o.times;
    options.stream = job.stream;
    RecoverResult r =
        job.content ? RecoverExtents(volume, *job.content, geometry, job.path, output, options)
                    : RecoverRecord(volume, PositionText(job.position), geometry, job.path, output,
                                    options);
    if (r.status == RecoverStatus::SourceFailed) sourceGone.store(true);
    return r;
}

using Done = std::function<void(std::size_t, const RecoverResult&)>;

// One file after the other on the calling thread.
void RecoverInTurn(RawVolume& volume, const VolumeGeometry& geometry,
                   const std::vector<RecoverJob>& jobs, OutputFactory& output,
                   const RecoverBatchOptions& options, const Done& done) {
    std::atomic<bool> sourceGone{false};
    BatchProgress progress(options.progress);
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        JobProgress job(progress, [&progress] { progress.Report(); });
        RecoverResult r = RecoverOne(volume, geometry, jobs[k], output, options, sourceGone,
                                     progress.active() ? &job : nullptr);
        progress.Settled(job.written());
        done(k, r);
    }
}

// The job before each one that writes the same path: it must be finished first.
std::vector<std::size_t> SamePathBefore(const std::vector<RecoverJob>& jobs) {
    std::vector<std::size_t> before(jobs.size(), kNone);
    std::unordered_map<std::string_view, std::size_t> last;
    last.reserve(jobs.size());
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        auto [it, fresh] = last.try_emplace(jobs[k].path, k);
        if (!fresh) {
            before[k] = it->second;
            it->second = k;
        }
    }
    return before;
}

// The workers' results, handed to the calling thread in job order; between
// results the calling thread is woken to report progress when it is due.
class Handover {
public:
    Handover(std::size_t n, BatchProgress& progress)
        : progress_(progress), results_(n), written_(n, 0), finished_(n, 0) {}

    void WaitFor(std::size_t k) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return finished_[k] != 0; });
    }
    void Put(std::size_t k, RecoverResult r, std::uint64_t written) {
        {
            std::lock_guard lock(mutex_);
            results_[k] = std::move(r);
            written_[k] = written;
            finished_[k] = 1;
        }
        changed_.notify_all();
    }
    void ReportDue() {
        {
            std::lock_guard lock(mutex_);
            reportDue_ = true;
        }
        changed_.notify_all();
    }
    // Waits for job k, reporting progress meanwhile; its bytes are settled.
    RecoverResult Take(std::size_t k) {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return finished_[k] != 0 || reportDue_; });
            if (finished_[k] != 0) break;
            reportDue_ = false;
            lock.unlock();
            progress_.Report();
            lock.lock();
        }
        progress_.Settled(written_[k]);
        return std::move(results_[k]);
    }

private:
    BatchProgress& progress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecoverResult> results_;  // the rest guarded by mutex_
    std::vector<std::uint64_t> written_;
    std::vector<char> finished_;
    bool reportDue_ = false;
};

}  // namespace

void RecoverBatch(RawVolume& volume, const VolumeGeometry& geometry,
                  const std::vector<RecoverJob>& jobs, OutputFactory& output,
                  const RecoverBatchOptions& options, const Done& done) {
    const std::size_t n = jobs.size();
    const unsigned workers = static_cast<unsigned>(
        std::min<std::size_t>(std::clamp(options.workers, 1u, kMaxWorkers), n));
    if (workers <= 1) return RecoverInTurn(volume, geometry, jobs, output, options, done);

    const std::vector<std::size_t> before = SamePathBefore(jobs);
    SerialisedVolume shared(volume);
    std::atomic<bool> sourceGone{false};
    BatchProgress progress(options.progress);
    Handover handover(n, progress);
    std::atomic<std::size_t> next{0};

    auto work = [&] {
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= n) return;
            if (before[k] != kNone) handover.WaitFor(before[k]);
            JobProgress job(progress, [&handover] { handover.ReportDue(); });
            RecoverResult r = RecoverOne(shared, geometry, jobs[k], output, options, sourceGone,
                                         progress.active() ? &job : nullptr);
            handover.Put(k, std::move(r), job.written());
        }
    };

    std::vector<std::thread> threads;
    // Should `done` throw, the workers take no more jobs and are waited for.
    struct Joiner {
        std::vector<std::thread>& threads;
        std::atomic<std::size_t>& next;
        std::size_t n;
        ~Joiner() {
            next.store(n);
            for (std::thread& t : threads)
                if (t.joinable()) t.join();
        }
    } joiner{threads, next, n};
    threads.reserve(workers);
    for (unsigned w = 0; w < workers; ++w) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // the system has no thread to spare: fewer workers
        }
    }
    // Jobs are taken in order, so whatever number of workers started, each job's
    // predecessor of the same path has been taken before it and will finish.
    if (threads.empty()) work();

    for (std::size_t k = 0; k < n; ++k) done(k, handover.Take(k));
}

}  // namespace qm
