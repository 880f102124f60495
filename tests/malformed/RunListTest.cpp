// Run lists that a damaged or hostile record may carry: fields too wide to be
// numbers, runs off the volume, runs of no length, cluster numbers below 0 and
// sizes past 64 bits. The recovery gives such a file up, or, where the list is
// sound but points at nothing, fills the gap with zeros and keeps every later
// run in its place.
#include <gtest/gtest.h>

#include "platform/testing/FaultyOutput.h"
#include "tests/malformed/Corpus.h"

namespace qm::malformed {
namespace {

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(RunLists, MalformedListsAreGivenUp) {
    Corpus c;  // 4 KiB clusters
    struct Bad {
        const char* what;
        Bytes list;
        std::uint64_t dataSize = 4096;
    };
    const std::vector<Bad> bad = {
        {"length field of 9 bytes",
         RunListBuilder().Raw({0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5}).Build()},
        {"offset field of 9 bytes",
         RunListBuilder().Raw({0x91, 1, 5, 0, 0, 0, 0, 0, 0, 0, 0}).Build()},
        {"fields of 15 bytes", RunListBuilder().Raw({0xFF}).Build()},
        {"fields running past the list", RunListBuilder().Raw({0x44, 1, 0}).Build(false)},
        {"cluster number below 0", RunListBuilder().Run(1, 10).Fields(1, 1, 0xE0, 1).Build()},
        {"eight-byte distance to below 0",
         RunListBuilder().Run(1, 10).Fields(1, 1, 0x8000000000000000ull, 8).Build()},
        {"first cluster number of 2^63",
         RunListBuilder().Fields(1, 1, 0x8000000000000000ull, 8).Build()},
        {"length x cluster size past 64 bits",
         RunListBuilder().Fields(0x0010000000000000ull, 7, 10, 1).Build()},
        {"position past 64 bits", RunListBuilder().Fields(1, 1, 0x7FFFFFFFFFFFFFull, 7).Build()},
        {"runs adding up past 64 bits", RunListBuilder()
                                            .Fields(std::uint64_t{1} << 51, 7, 0, 0)
                                            .Fields(std::uint64_t{1} << 51, 7, 0, 0)
                                            .Build()},
        {"data size 2^63", RunListBuilder().Run(1, 200).Build(), std::uint64_t{1} << 63},
        {"data size 2^64 - 1", RunListBuilder().Run(1, 200).Build(), ~std::uint64_t{0}},
        {"data size 2^62", Bytes{0}, std::uint64_t{1} << 62},
    };
    for (std::size_t i = 0; i < bad.size(); ++i)
        c.Put(static_cast<std::uint32_t>(17 + i),
              c.File(static_cast<std::uint32_t>(17 + i))
                  .NonResidentData(bad[i].list, bad[i].dataSize, bad[i].dataSize, 0, 0));
    const Outcome o = c.Run();
    EXPECT_TRUE(c.GoodFilesIntact(o));
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(bad[i].what);
        ASSERT_TRUE(o.Row(17 + i));  // listed: the damage is only in the list
        EXPECT_TRUE(o.SkippedOrAbandoned(17 + i));
        EXPECT_EQ(o.recovered.at(17 + i).status, RecoverStatus::Malformed);
    }
}

TEST(RunLists, RunsThatPointAtNothingKeepLaterRunsInPlace) {
    Corpus c;
    const std::size_t cs = c.volume().ClusterSize();  // the volume has 256 clusters
    const Bytes a = Pattern(cs, 40), b = Pattern(cs, 41), end = Pattern(2 * cs, 42);
    c.volume().Data(210, a).Data(211, b).Data(254, end);
    const Bytes zeros(cs, 0);
    struct Good {
        const char* what;
        Bytes list;
        Bytes expect;
        std::vector<ByteRange> damage;  // what no cluster of the volume holds
    };
    const std::vector<Good> cases = {
        {"a run far past the volume's end",
         RunListBuilder().Run(2, 1000000).Run(1, 210).Build(),
         Concat({zeros, zeros, a}),
         {{0, 2 * cs}}},
        {"a run that starts on the volume and ends past it",
         RunListBuilder().Run(4, 254).Build(),
         Concat({end, zeros, zeros}),
         {{2 * cs, 2 * cs}}},
        {"runs of no length",
         RunListBuilder().Run(0, 205).Run(1, 210).Fields(0, 1, 1, 1).Run(1, 210).Build(),
         Concat({a, a}),
         {}},
        {"a sparse run of no length",
         RunListBuilder().Run(1, 210).Sparse(0).Run(1, 211).Build(),
         Concat({a, b}),
         {}},
        {"only runs of no length",
         RunListBuilder().Run(0, 210).Sparse(0).Build(),
         Bytes(100, 0),
         {{0, 100}}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::uint32_t n = static_cast<std::uint32_t>(17 + i);
        c.Put(n, c.File(n).NonResidentData(cases[i].list, cases[i].expect.size(),
                                           cases[i].expect.size(), 0, 0));
    }
    const Outcome o = c.Run();
    EXPECT_TRUE(c.GoodFilesIntact(o));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(o.Recovered(17 + i, cases[i].expect, cases[i].damage));
    }
}

// Output that tells written bytes from skipped ones.
struct Tally final : OutputFactory {
    std::uint64_t written = 0, skipped = 0;
    struct File final : OutputFile {
        Tally& t;
        explicit File(Tally& tally) : t(tally) {}
        bool Write(std::span<const std::uint8_t> b) override {
            return (t.written += b.size(), true);
        }
        bool WriteZeros(std::uint64_t n) override { return (t.skipped += n, true); }
        bool Commit() override { return true; }
    };
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string&) override {
        return std::unique_ptr<OutputFile>(std::make_unique<File>(*this));
    }
};

// Clusters past the volume's end are lost, written as zeros the output may
// keep as holes, so a small hostile image whose record claims terabytes in a
// run beyond the end cannot fill the output disk.
TEST(RunLists, RunPastTheVolumeEndTakesNoSpaceInTheOutput) {
    Corpus c;
    constexpr std::uint64_t kSize = 256u << 20;
    c.Put(20, c.File(20).NonResidentData(RunListBuilder().Run(kSize / 4096, 1u << 30).Build(),
                                         kSize, kSize, 0, 0));
    MemoryVolume volume(c.volume().Build());
    Tally out;
    const auto r = RecoverRecord(volume, PositionText(c.volume().RecordOffset(20)),
                                 {1024, 4096, 512, 8}, "x", out);
    EXPECT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.unreadable, (std::vector<ByteRange>{{0, kSize}}));
    EXPECT_EQ(out.written + out.skipped, kSize);
    EXPECT_LE(out.written, volume.Size());
}

}  // namespace
}  // namespace qm::malformed
