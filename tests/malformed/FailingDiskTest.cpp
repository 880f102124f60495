// A disk with bad sectors: reads that fail whole or stop short. The scan
// skips exactly the records it cannot read and counts them; a run that cannot
// be read still takes its place in the file, so the runs after it land where
// they belong.
#include <gtest/gtest.h>

#include "platform/testing/FaultyVolume.h"
#include "tests/malformed/Corpus.h"

namespace qm::malformed {
namespace {

using qm::testing::FaultyVolume;

Corpus::Wrap Faults(std::function<void(FaultyVolume&)> set) {
    return [set](std::shared_ptr<RawVolume> base) {
        auto v = std::make_shared<FaultyVolume>(std::move(base));
        set(*v);
        return std::shared_ptr<RawVolume>(v);
    };
}

std::vector<std::uint64_t> Records(const Outcome& o) {
    std::vector<std::uint64_t> r;
    for (const ScanRow& row : o.rows) r.push_back(row.record);
    return r;
}

TEST(FailingDisk, ScanSkipsExactlyTheRecordsItCannotRead) {
    Corpus c;
    for (std::uint32_t n : {20u, 25u, 40u, 41u, 47u, 48u})
        c.Put(n, c.File(n, u"f" + std::u16string(1, char16_t(u'0' + n % 10)))
                     .ResidentData(Bytes{1, 2, 3}));
    const VolumeBuilder& v = c.volume();
    const Outcome clean = c.Run();
    ASSERT_TRUE(c.GoodFilesIntact(clean));
    ASSERT_EQ(clean.scan.unreadable, 0);

    // Record 20 fails whole; 25 stops short in its second sector; 40 to 47 lie
    // under one failing stretch (one read of a chunk fails, the records around
    // it must still be read).
    const auto faults = Faults([&](FaultyVolume& f) {
        f.FailRange(v.RecordOffset(20) + 100, v.RecordOffset(20) + 101);
        f.ShortRange(v.RecordOffset(25) + 700, v.RecordOffset(25) + 701);
        f.FailRange(v.RecordOffset(40), v.RecordOffset(48));
    });
    std::vector<std::uint64_t> expect;
    for (std::uint64_t r : Records(clean))
        if (r != 20 && r != 25 && (r < 40 || r >= 48)) expect.push_back(r);
    for (std::uint32_t chunk : {4u << 20, 0u, 3000u, 8192u}) {
        SCOPED_TRACE(chunk);
        ScanOptions options;
        options.chunkBytes = chunk;
        const Outcome o = c.Run(faults, options);
        EXPECT_TRUE(c.GoodFilesIntact(o));
        EXPECT_EQ(Records(o), expect);
        EXPECT_EQ(o.scan.unreadable, 10);
        EXPECT_EQ(o.scan.recordsWalked, clean.scan.recordsWalked);
    }
}

TEST(FailingDisk, RecordZeroUnreadable) {
    Corpus c;
    const std::uint64_t r0 = c.volume().RecordOffset(0);
    const Outcome o = c.Run(Faults([&](FaultyVolume& f) { f.FailRange(r0 + 600, r0 + 601); }));
    // No mirror in the corpus: the MFT is read as one run from its position.
    ASSERT_EQ(o.scan.setup.stop, SetupStop::None);
    EXPECT_EQ(o.scan.setup.layout, LayoutSource::Contiguous);
    ASSERT_FALSE(o.scan.setup.notes.empty());
    EXPECT_NE(o.scan.setup.notes[0].find("cannot be read"), std::string::npos);
    EXPECT_TRUE(c.GoodFilesIntact(o));
}

TEST(FailingDisk, UnreadableRunsKeepTheirPlace) {
    // Record 31 of the corpus: one cluster at 200, then 1000 bytes at 190.
    Corpus c;
    const std::uint64_t cs = c.volume().ClusterSize();
    const Bytes first = Pattern(cs, 1), second = Pattern(cs, 2);
    struct Case {
        const char* what;
        std::function<void(FaultyVolume&)> set;
        Bytes expect;
        std::vector<ByteRange> damage;
    };
    // A read stopped short at byte 300 of the second run's cluster: the bytes
    // before it are the disk's, the rest of that sector is lost.
    Bytes shortSecond(cs + 1000, 0);
    std::copy(first.begin(), first.end(), shortSecond.begin());
    std::copy(second.begin(), second.begin() + 300,
              shortSecond.begin() + static_cast<std::ptrdiff_t>(cs));
    std::copy(second.begin() + 512, second.begin() + 1000,
              shortSecond.begin() + static_cast<std::ptrdiff_t>(cs + 512));
    // Only the sector holding byte 10 of the first run is lost.
    Bytes failFirst = first;
    std::fill(failFirst.begin(), failFirst.begin() + 512, std::uint8_t{0});
    failFirst.insert(failFirst.end(), second.begin(), second.begin() + 1000);
    const std::vector<Case> cases = {
        {"first run fails",
         [&](FaultyVolume& f) { f.FailRange(200 * cs + 10, 200 * cs + 11); },
         failFirst,
         {{0, 512}}},
        {"second run stops short",
         [&](FaultyVolume& f) { f.ShortRange(190 * cs + 300, 190 * cs + 301); },
         shortSecond,
         {{cs + 300, 212}}},
        {"both fail",
         [&](FaultyVolume& f) { f.FailRange(190 * cs, 201 * cs); },
         Bytes(cs + 1000, 0),
         {{0, cs + 1000}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Outcome o = c.Run(Faults(k.set));
        EXPECT_TRUE(o.imageUnchanged);
        EXPECT_TRUE(o.Recovered(31, k.expect, k.damage));
        EXPECT_TRUE(o.Recovered(16, test::BytesOf("the first good file")));
        EXPECT_EQ(o.scan.unreadable, 0);
    }
}

}  // namespace
}  // namespace qm::malformed
