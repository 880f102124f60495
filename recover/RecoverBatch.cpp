#include "recover/RecoverBatch.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "scan/ScanEngine.h"

namespace qm {
namespace {

constexpr unsigned kMaxWorkers = 16;
constexpr std::size_t kNone = ~std::size_t{0};

// One reader at a time for a volume shared by the workers.
class SerialisedVolume final : public RawVolume {
public:
    explicit SerialisedVolume(RawVolume& inner) : inner_(inner) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        std::lock_guard lock(mutex_);
        return inner_.ReadAt(offset, buf);
    }
    std::uint64_t Size() const override { return inner_.Size(); }
    const std::string& Name() const override { return inner_.Name(); }
    std::uint32_t SectorSize() const override { return inner_.SectorSize(); }

private:
    RawVolume& inner_;
    std::mutex mutex_;
};

bool Stopped(const std::atomic<bool>* stop) {
    return stop && stop->load(std::memory_order_relaxed);
}

RecoverResult RecoverOne(RawVolume& volume, const VolumeGeometry& geometry, const RecoverJob& job,
                         OutputFactory& output, const RecoverBatchOptions& o,
                         std::atomic<bool>& sourceGone) {
    if (Stopped(o.stop) || Stopped(&sourceGone))
        return {RecoverStatus::Cancelled, 0, {}, {}, 0, {}};
    RecoverOptions options;
    options.cancel = o.stop;
    options.abort = &sourceGone;
    options.mft = o.mft;
    options.raw = o.raw;
    options.times = o.times;
    options.stream = job.stream;
    RecoverResult r =
        RecoverRecord(volume, PositionText(job.position), geometry, job.path, output, options);
    if (r.status == RecoverStatus::SourceFailed) sourceGone.store(true);
    return r;
}

}  // namespace

void RecoverBatch(RawVolume& volume, const VolumeGeometry& geometry,
                  const std::vector<RecoverJob>& jobs, OutputFactory& output,
                  const RecoverBatchOptions& options,
                  const std::function<void(std::size_t, const RecoverResult&)>& done) {
    const std::size_t n = jobs.size();
    const unsigned workers = static_cast<unsigned>(
        std::min<std::size_t>(std::clamp(options.workers, 1u, kMaxWorkers), n));
    std::atomic<bool> sourceGone{false};
    if (workers <= 1) {
        for (std::size_t k = 0; k < n; ++k)
            done(k, RecoverOne(volume, geometry, jobs[k], output, options, sourceGone));
        return;
    }

    // The job before each one that writes the same path: it must be finished first.
    std::vector<std::size_t> before(n, kNone);
    {
        std::unordered_map<std::string_view, std::size_t> last;
        last.reserve(n);
        for (std::size_t k = 0; k < n; ++k) {
            auto [it, fresh] = last.try_emplace(jobs[k].path, k);
            if (!fresh) {
                before[k] = it->second;
                it->second = k;
            }
        }
    }

    SerialisedVolume shared(volume);
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<RecoverResult> results(n);
    std::vector<char> finished(n, 0);  // guarded by mutex
    std::atomic<std::size_t> next{0};

    auto work = [&] {
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= n) return;
            if (before[k] != kNone) {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return finished[before[k]] != 0; });
            }
            RecoverResult r = RecoverOne(shared, geometry, jobs[k], output, options, sourceGone);
            {
                std::lock_guard lock(mutex);
                results[k] = std::move(r);
                finished[k] = 1;
            }
            changed.notify_all();
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

    for (std::size_t k = 0; k < n; ++k) {
        RecoverResult r;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return finished[k] != 0; });
            r = std::move(results[k]);
        }
        done(k, r);
    }
}

}  // namespace qm
