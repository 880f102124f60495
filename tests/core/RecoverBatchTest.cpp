// Recovering many files with several threads: every job reported once, in
// job order, with the content a one-at-a-time recovery gives; a later file of
// a name still replaces an earlier one; a stop leaves no half-written file.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/RawVolume.h"
#include "platform/testing/FaultyOutput.h"
#include "recover/Md5.h"
#include "recover/RecoverBatch.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

using test::Bytes;
using test::RunListBuilder;
using test::VolumeBuilder;
using testing::MemoryOutputFactory;

constexpr std::uint32_t kFirst = 16, kFiles = 48;

class RecoverBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        v_.MftCluster(4).RecordCount(kFirst + kFiles);
        const std::uint32_t cs = v_.ClusterSize();
        for (std::uint32_t i = 0; i < kFiles; ++i) {
            auto b = v_.NewRecord(kFirst + i).StandardInformation(1, 2).FileName(u"f");
            if (i % 7 == 3) {
                b.Flags(1).ResidentData(Bytes{1});  // in use again: given up
            } else if (i % 2 == 0) {
                b.ResidentData(Bytes(i, static_cast<std::uint8_t>(i)));
            } else {
                // Two clusters of their own, cut a little short of their end.
                const std::uint64_t lcn = 200 + 2 * i;
                Bytes content(2 * cs);
                for (std::size_t k = 0; k < content.size(); ++k)
                    content[k] = static_cast<std::uint8_t>(i * 31 + k);
                v_.Data(lcn, content);
                const std::uint64_t size = 2ull * cs - i;
                b.NonResidentData(RunListBuilder().Run(2, lcn).Build(), size, size, 0, 1);
            }
            v_.Record(kFirst + i, b.Build());
        }
        image_ = v_.Build();
    }

    VolumeGeometry Geometry() const {
        return {v_.RecordSize(), v_.ClusterSize(),
                static_cast<std::uint16_t>(v_.BytesPerSectorValue()), v_.SectorsPerCluster()};
    }

    // Every file to its own path, or (`names` > 0) to one of that many shared paths.
    std::vector<RecoverJob> Jobs(std::uint32_t names = 0) const {
        std::vector<RecoverJob> jobs;
        for (std::uint32_t i = 0; i < kFiles; ++i)
            jobs.push_back(
                {v_.RecordOffset(kFirst + i), "out/" + std::to_string(names ? i % names : i)});
        return jobs;
    }

    struct Outcome {
        std::vector<std::size_t> order;
        std::vector<RecoverResult> results;
        std::map<std::string, std::vector<std::uint8_t>> files;
    };
    // With `stop`, the flag is raised once `stopAfter` results have been
    // reported, and files from "out/12" on are not created before it is: the
    // workers cannot run through the whole list before the stop comes.
    Outcome Run(const std::vector<RecoverJob>& jobs, unsigned workers,
                std::atomic<bool>* stop = nullptr, std::size_t stopAfter = SIZE_MAX) {
        MemoryVolume volume(image_);
        MemoryOutputFactory memory;
        GatedOutput gated(memory, stop);
        OutputFactory& output = stop ? static_cast<OutputFactory&>(gated) : memory;
        Outcome o;
        RecoverBatchOptions options;
        options.workers = workers;
        options.stop = stop;
        RecoverBatch(volume, Geometry(), jobs, output, options,
                     [&](std::size_t k, const RecoverResult& r) {
                         o.order.push_back(k);
                         o.results.push_back(r);
                         if (stop && o.order.size() == stopAfter) stop->store(true);
                     });
        EXPECT_EQ(memory.OpenFiles(), 0);
        o.files = memory.Files();
        return o;
    }

    class GatedOutput final : public OutputFactory {
    public:
        GatedOutput(OutputFactory& inner, const std::atomic<bool>* open)
            : inner_(inner), open_(open) {}
        ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& path) override {
            if (std::stoul(path.substr(4)) >= 12)
                while (!open_->load()) std::this_thread::yield();
            return inner_.Create(path);
        }

    private:
        OutputFactory& inner_;
        const std::atomic<bool>* open_;
    };

    VolumeBuilder v_;
    Bytes image_;
};

TEST_F(RecoverBatchTest, SeveralWorkersGiveWhatOneGivesInJobOrder) {
    const auto jobs = Jobs();
    const Outcome one = Run(jobs, 1);
    ASSERT_EQ(one.files.size(), kFiles - 7);  // records 3, 10, ..., 45 are in use: given up
    for (unsigned workers : {2u, 4u, 16u}) {
        const Outcome many = Run(jobs, workers);
        ASSERT_EQ(many.order.size(), jobs.size());
        for (std::size_t k = 0; k < many.order.size(); ++k) {
            EXPECT_EQ(many.order[k], k);
            EXPECT_EQ(many.results[k].status, one.results[k].status) << k;
            EXPECT_EQ(many.results[k].bytes, one.results[k].bytes) << k;
        }
        EXPECT_TRUE(many.files == one.files) << workers << " workers";
    }
}

// Digests come with every file written; the bytes in flight are reported on
// the calling thread only, never more than the files hold.
TEST_F(RecoverBatchTest, DigestsAndBytesInFlight) {
    const auto jobs = Jobs();
    for (unsigned workers : {1u, 4u}) {
        SCOPED_TRACE(workers);
        MemoryVolume volume(image_);
        MemoryOutputFactory memory;
        RecoverBatchOptions options;
        options.workers = workers;
        options.digests = true;
        const std::thread::id caller = std::this_thread::get_id();
        std::uint64_t reports = 0, most = 0, total = 0;
        bool elsewhere = false;
        options.progress = [&](std::uint64_t inFlight) {
            ++reports;
            most = std::max(most, inFlight);
            elsewhere = elsewhere || std::this_thread::get_id() != caller;
        };
        std::vector<RecoverResult> results(jobs.size());
        RecoverBatch(volume, Geometry(), jobs, memory, options,
                     [&](std::size_t k, const RecoverResult& r) { results[k] = r; });
        for (std::size_t k = 0; k < jobs.size(); ++k) {
            const auto file = memory.File(jobs[k].path);
            ASSERT_EQ(file.has_value(), results[k].digests.has_value()) << k;
            if (!file) continue;
            total += file->size();
            EXPECT_EQ(HexDigest(results[k].digests->md5), Md5Hex(*file)) << k;
        }
        EXPECT_FALSE(elsewhere);
        EXPECT_LE(most, total);
        // The first chunk written is always reported: no clock has run yet.
        if (workers == 1) {
            EXPECT_GE(reports, 1u);
        }
    }
}

TEST_F(RecoverBatchTest, ALaterFileOfANameReplacesAnEarlierOne) {
    // 48 files onto 5 names: each name must end with the last file given to it
    // that could be recovered, whatever thread wrote which.
    const auto jobs = Jobs(5);
    const Outcome one = Run(jobs, 1);
    for (int round = 0; round < 5; ++round) {
        const Outcome many = Run(jobs, 4);
        EXPECT_TRUE(many.files == one.files);
    }
    // Checked against the files recovered one to a path.
    const Outcome apart = Run(Jobs(), 1);
    for (std::uint32_t name = 0; name < 5; ++name) {
        std::uint32_t last = kFiles;
        for (std::uint32_t i = name; i < kFiles; i += 5)
            if (one.results[i].status == RecoverStatus::Written) last = i;
        ASSERT_LT(last, kFiles);
        EXPECT_EQ(one.files.at("out/" + std::to_string(name)),
                  apart.files.at("out/" + std::to_string(last)));
    }
}

TEST_F(RecoverBatchTest, AStopCancelsTheRestAndEveryJobIsStillReported) {
    for (unsigned workers : {1u, 3u}) {
        std::atomic<bool> stop{false};
        const auto jobs = Jobs();
        const Outcome o = Run(jobs, workers, &stop, 10);
        ASSERT_EQ(o.order.size(), jobs.size());
        std::size_t written = 0, cancelled = 0;
        for (std::size_t k = 0; k < o.results.size(); ++k) {
            const RecoverStatus s = o.results[k].status;
            if (s == RecoverStatus::Written) {
                ++written;
                EXPECT_TRUE(o.files.count(jobs[k].path)) << k;
            } else if (s == RecoverStatus::Cancelled) {
                ++cancelled;
                EXPECT_FALSE(o.files.count(jobs[k].path)) << k;
            }
        }
        // The first ten were reported before the stop, so they ran to their end.
        for (std::size_t k = 0; k < 10; ++k)
            EXPECT_NE(o.results[k].status, RecoverStatus::Cancelled) << k;
        EXPECT_GE(written, 8u);
        // Files from 12 on wait for the stop: at most one per worker got past it.
        EXPECT_GE(cancelled, jobs.size() - 12 - workers);
        // With one worker nothing after them was started.
        if (workers == 1) {
            EXPECT_EQ(cancelled, jobs.size() - 10);
        }
    }
}

// A row found by its content, not its record, names its clusters: a file
// joined from two pieces comes out in extent order, and a piece past the
// volume's end is damage, never zeros passed off as the file.
TEST_F(RecoverBatchTest, ContentGivenByExtentsIsJoinedInOrder) {
    const std::uint32_t cs = v_.ClusterSize();
    const std::uint64_t odd = 200 + 2 * 1, other = 200 + 2 * 3;  // clusters of files 1 and 3
    auto joined = std::make_shared<DataExtents>();
    joined->extents = {{0, 1, false, other}, {1, 2, false, odd}};
    joined->dataSize = joined->allocatedSize = joined->initializedSize = 3ull * cs - 100;
    auto beyond = std::make_shared<DataExtents>(*joined);
    beyond->extents[1].lcn = std::uint64_t{1} << 40;
    std::vector<RecoverJob> jobs{{0, "out/joined", u"", joined}, {0, "out/beyond", u"", beyond}};
    const Outcome o = Run(jobs, 2);
    ASSERT_EQ(o.results.size(), 2u);
    EXPECT_EQ(o.results[0].status, RecoverStatus::Written);
    Bytes want(image_.begin() + other * cs, image_.begin() + (other + 1) * cs);
    want.insert(want.end(), image_.begin() + odd * cs, image_.begin() + (odd + 2) * cs - 100);
    EXPECT_TRUE(o.files.at("out/joined") == want);
    EXPECT_EQ(o.results[1].status, RecoverStatus::Damaged);
    ASSERT_EQ(o.results[1].unreadable.size(), 1u);
    EXPECT_EQ(o.results[1].unreadable[0], (ByteRange{cs, 2ull * cs - 100}));
}

TEST_F(RecoverBatchTest, NoJobsAndMoreWorkersThanJobs) {
    const Outcome none = Run({}, 4);
    EXPECT_TRUE(none.order.empty());
    auto jobs = Jobs();
    jobs.resize(2);
    const Outcome two = Run(jobs, 16);
    EXPECT_EQ(two.order, (std::vector<std::size_t>{0, 1}));
}

}  // namespace
}  // namespace qm
