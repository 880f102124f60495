// What a file's content becomes when the disk fails under it, the image is
// cut short, the data size cannot be trusted, or the content is compressed,
// encrypted or a named stream.
#include <gtest/gtest.h>

#include <atomic>

#include "ntfs/Extents.h"
#include "ntfs/Lznt1.h"
#include "platform/RawVolume.h"
#include "platform/testing/FaultyOutput.h"
#include "platform/testing/FaultyVolume.h"
#include "recover/Md5.h"
#include "recover/RecoverBatch.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

using test::Bytes;
using test::PutLe;
using test::RunListBuilder;
using test::VolumeBuilder;
using testing::FaultyVolume;
using testing::MemoryOutputFactory;

using Ranges = std::vector<ByteRange>;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}

// A volume that answers until a read reaches byte `dieAt` or beyond, and never again.
class VanishingVolume final : public RawVolume {
public:
    VanishingVolume(std::shared_ptr<RawVolume> base, std::uint64_t dieAt)
        : base_(std::move(base)), dieAt_(dieAt) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        if (offset + buf.size() > dieAt_) gone_ = true;
        if (gone_) {
            std::fill(buf.begin(), buf.end(), std::uint8_t{0});
            return 0;
        }
        return base_->ReadAt(offset, buf);
    }
    std::uint64_t Size() const override { return base_->Size(); }
    const std::string& Name() const override { return base_->Name(); }

private:
    std::shared_ptr<RawVolume> base_;
    std::uint64_t dieAt_;
    std::atomic<bool> gone_{false};
};

class Content : public ::testing::Test {
protected:
    void SetUp() override {
        v_.MftCluster(4).RecordCount(64);
        cs_ = v_.ClusterSize();
    }
    VolumeGeometry Geometry() const {
        return {v_.RecordSize(), v_.ClusterSize(),
                static_cast<std::uint16_t>(v_.BytesPerSectorValue()), v_.SectorsPerCluster()};
    }
    test::RecordBuilder Rec(std::uint32_t n = 16) const {
        return v_.NewRecord(n).StandardInformation(1, 2).FileName(u"f.bin");
    }
    // Record 16: `clusters` clusters of pattern at cluster 300, `size` bytes of them.
    Bytes PlaceFile(std::uint64_t clusters, std::uint64_t size) {
        const Bytes data = Pattern(clusters * cs_, 3);
        v_.Data(300, data);
        v_.Record(16, Rec()
                          .NonResidentData(RunListBuilder().Run(clusters, 300).Build(), size, size,
                                           0, clusters - 1)
                          .Build());
        return Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size));
    }
    RecoverResult Recover(RawVolume& volume, const RecoverOptions& o = {},
                          std::uint32_t record = 16) {
        return RecoverRecord(volume, PositionText(v_.RecordOffset(record)), Geometry(), "out", out_,
                             o);
    }
    std::optional<Bytes> Out() const { return out_.File("out"); }

    VolumeBuilder v_;
    std::uint32_t cs_ = 0;
    MemoryOutputFactory out_;
};

TEST_F(Content, BadSectorsAreZerosAndDamageTheRestIsTheDisks) {
    const Bytes want = PlaceFile(600, 600 * 4096 - 7);  // over two read chunks
    const std::uint64_t at = 300ull * cs_;
    struct Case {
        const char* what;
        std::function<void(FaultyVolume&)> set;
        Ranges lost;
    };
    const std::vector<Case> cases = {
        {"one sector fails whole",
         [&](FaultyVolume& f) { f.FailRange(at + 1000, at + 1001); },
         {{512, 512}}},
        {"a read stops short in a sector",
         [&](FaultyVolume& f) { f.ShortRange(at + 5 * 512, at + 5 * 512 + 1); },
         {{5 * 512, 512}}},
        {"two adjacent sectors merge",
         [&](FaultyVolume& f) {
             f.FailRange(at + 512, at + 512 + 1).FailRange(at + 1024, at + 1025);
         },
         {{512, 1024}}},
        {"bad spots in two chunks and the last sector",
         [&](FaultyVolume& f) {
             f.FailRange(at + 4096, at + 4097)
                 .FailRange(at + (1 << 20) + 3 * 512, at + (1 << 20) + 3 * 512 + 1)
                 .FailRange(at + want.size() - 1, at + want.size());
         },
         {{4096, 512}, {(1 << 20) + 3 * 512, 512}, {want.size() / 512 * 512, want.size() % 512}}},
    };
    // The same bad spots whether the output reads and writes every byte, takes
    // the run by copies inside the system, or takes copies that stop short.
    const std::pair<const char*, std::uint64_t> copies[] = {
        {"read and written", 0}, {"copied", 64u << 20}, {"copies that stop short", 300000}};
    for (const auto& [how, perCall] : copies) {
        out_.TakeCopies(perCall);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", " + how);
            FaultyVolume volume(v_.Build());
            c.set(volume);
            const RecoverResult r = Recover(volume);
            ASSERT_EQ(r.status, RecoverStatus::Damaged) << r.detail;
            EXPECT_EQ(r.unreadable, c.lost);
            EXPECT_EQ(r.bytes, want.size());
            Bytes expect = want;
            for (const ByteRange& b : c.lost)
                std::fill_n(expect.begin() + static_cast<std::ptrdiff_t>(b.offset), b.length, 0);
            EXPECT_TRUE(Out() == expect);
        }
    }
    EXPECT_GT(out_.CopiedBytes(), 0u);
}

TEST_F(Content, CopiedRunsGiveTheBytesReadRunsGive) {
    const Bytes want = PlaceFile(600, 600 * 4096 - 7);
    for (const std::uint64_t perCall : {std::uint64_t{0}, std::uint64_t{64} << 20,
                                        std::uint64_t{1} << 20, std::uint64_t{12345}}) {
        SCOPED_TRACE(perCall);
        out_.TakeCopies(perCall);
        const std::uint64_t before = out_.CopiedBytes();
        MemoryVolume volume(v_.Build());
        const RecoverResult r = Recover(volume);
        EXPECT_EQ(r.status, RecoverStatus::Written) << r.detail;
        EXPECT_EQ(r.bytes, want.size());
        EXPECT_TRUE(Out() == want);
        // A whole run goes by copies while they keep up; one that stops short
        // hands the rest of its run to reads.
        const std::uint64_t copied = out_.CopiedBytes() - before;
        EXPECT_EQ(copied, perCall == 0 ? 0 : perCall >= want.size() ? want.size() : perCall);
    }
    // Hashed content must pass through the sink: no copies then.
    out_.TakeCopies(std::uint64_t{64} << 20);
    const std::uint64_t before = out_.CopiedBytes();
    MemoryVolume volume(v_.Build());
    RecoverOptions hashed;
    hashed.digests = true;
    const RecoverResult r = Recover(volume, hashed);
    EXPECT_EQ(out_.CopiedBytes(), before);
    ASSERT_TRUE(r.digests.has_value());
    EXPECT_EQ(HexDigest(r.digests->md5), Md5Hex(std::span<const std::uint8_t>(want)));
}

TEST_F(Content, ASourceThatWentAwayWritesNothing) {
    PlaceFile(8, 8 * 4096);
    const Bytes image = v_.Build();
    VanishingVolume volume(std::make_shared<MemoryVolume>(image), 300ull * cs_ + 4096);
    const RecoverResult r = Recover(volume);
    EXPECT_EQ(r.status, RecoverStatus::SourceFailed) << r.detail;
    // Gone before the record could be read: the same, not a damaged record.
    VanishingVolume before(std::make_shared<MemoryVolume>(image), 0);
    EXPECT_EQ(Recover(before).status, RecoverStatus::SourceFailed);
    EXPECT_TRUE(out_.Files().empty());
    EXPECT_EQ(out_.OpenFiles(), 0);
}

TEST_F(Content, ABatchStopsOnceTheSourceWentAway) {
    // Records 16, 17, 18: one cluster each at 300, 310, 320; the source goes at 310.
    std::vector<RecoverJob> jobs;
    for (std::uint32_t i = 0; i < 3; ++i) {
        v_.Data(300 + 10 * i, Pattern(cs_, static_cast<std::uint8_t>(i)));
        v_.Record(16 + i, Rec(16 + i)
                              .NonResidentData(RunListBuilder().Run(1, 300 + 10 * i).Build(), cs_,
                                               cs_, 0, 0)
                              .Build());
        jobs.push_back({v_.RecordOffset(16 + i), "f" + std::to_string(i)});
    }
    const Bytes image = v_.Build();
    for (unsigned workers : {1u, 3u}) {
        SCOPED_TRACE(workers);
        VanishingVolume volume(std::make_shared<MemoryVolume>(image), 310ull * cs_ + 1);
        MemoryOutputFactory out;
        std::vector<RecoverStatus> got(3);
        RecoverBatchOptions o;
        o.workers = workers;
        RecoverBatch(volume, Geometry(), jobs, out, o,
                     [&](std::size_t k, const RecoverResult& r) { got[k] = r.status; });
        // With several workers the files after the gone source may reach it in
        // any order: whichever does first fails, the others are cancelled or fail.
        const auto lost = [](RecoverStatus s) {
            return s == RecoverStatus::SourceFailed || s == RecoverStatus::Cancelled;
        };
        EXPECT_TRUE(lost(got[1]) && lost(got[2]));
        EXPECT_TRUE(got[1] == RecoverStatus::SourceFailed || got[2] == RecoverStatus::SourceFailed);
        EXPECT_FALSE(out.File("f1") || out.File("f2"));
        if (workers == 1) {
            EXPECT_EQ(got[0], RecoverStatus::Written);
            EXPECT_EQ(got[1], RecoverStatus::SourceFailed);
        }
    }
}

TEST_F(Content, ClustersPastTheEndOfATruncatedImageAreLost) {
    const Bytes want = PlaceFile(4, 4 * 4096 - 10);
    Bytes image = v_.Build();  // the boot sector keeps the full size
    image.resize(302ull * cs_ + 100);
    MemoryVolume volume(image);
    const RecoverResult r = Recover(volume);
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.unreadable, (Ranges{{2 * cs_ + 100, want.size() - 2 * cs_ - 100}}));
    EXPECT_NE(r.detail.find("truncated"), std::string::npos) << r.detail;
    Bytes expect = want;
    std::fill(expect.begin() + 2 * cs_ + 100, expect.end(), 0);
    EXPECT_TRUE(Out() == expect);
}

TEST_F(Content, ClustersPastTheVolumesOwnEndAreLostThoughTheImageHoldsThem) {
    PlaceFile(4, 4 * 4096);
    v_.TotalSectors(302ull * cs_ / 512);  // the volume ends inside the file's clusters
    MemoryVolume volume(v_.Build());
    const RecoverResult r = Recover(volume);
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.unreadable, (Ranges{{2 * cs_, 2 * cs_}}));
    EXPECT_NE(r.detail.find("end of the volume"), std::string::npos) << r.detail;
}

TEST_F(Content, ADataSizeLargerThanTheVolumeIsWrittenOnlyAsFarAsTheRunsGo) {
    constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
    v_.Data(300, Pattern(cs_, 1));
    v_.Record(
        16, Rec().NonResidentData(RunListBuilder().Run(1, 300).Build(), kTiB, kTiB, 0, 0).Build());
    // And a sound sparse file larger than the volume: its runs map all of it.
    const std::uint64_t sparse = 64ull << 20;
    v_.Record(17,
              Rec(17)
                  .NonResidentData(RunListBuilder().Run(1, 300).Sparse(sparse / cs_ - 1).Build(),
                                   sparse, sparse, 0, sparse / cs_ - 1)
                  .Build());
    MemoryVolume volume(v_.Build());
    const RecoverResult r = Recover(volume);
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    EXPECT_EQ(r.bytes, cs_);
    EXPECT_EQ(r.unreadable, (Ranges{{cs_, kTiB - cs_}}));
    EXPECT_TRUE(Out() == Pattern(cs_, 1));
    const RecoverResult s = Recover(volume, {}, 17);
    EXPECT_EQ(s.status, RecoverStatus::Written) << s.detail;
    EXPECT_EQ(s.bytes, sparse);
}

// ---- Compressed content ------------------------------------------------------------

// One LZNT1 chunk: "ABCDEFGH" and a back-reference that repeats it.
const Bytes kChunk = {0x0B, 0xB0, 0x00, 'A',  'B',  'C',  'D',  'E',
                      'F',  'G',  'H',  0x01, 0x05, 0x70, 0x00, 0x00};
// A chunk whose first token refers back before its start.
const Bytes kCorruptChunk = {0x02, 0xB0, 0x01, 0x00, 0x00, 0x00, 0x00};

RecoverOptions RawOptions() {
    RecoverOptions o;
    o.raw = true;
    return o;
}

bool DecoderBuilt() {
    std::uint8_t out[16];
    auto r = DecompressLznt1(kChunk, out);
    return r && *r >= 16;
}

class Compressed : public Content {
protected:
    // Record 16, compressed in units of 16 clusters: unit 0 stored raw at
    // 300, unit 1 compressed in cluster 400, unit 2 a hole, unit 3 the
    // `last` chunk in cluster 401; `tail` bytes of unit 3 belong to the file.
    RecoverResult Run(const Bytes& last, std::uint64_t tail, RecoverOptions o = {}) {
        raw_ = Pattern(16 * cs_, 9);
        v_.Data(300, raw_).Data(400, kChunk).Data(401, last);
        size_ = 3 * 16 * cs_ + tail;
        test::NonResidentSpec spec;
        spec.runList = RunListBuilder()
                           .Run(16, 300)
                           .Run(1, 400)
                           .Sparse(15)
                           .Sparse(16)
                           .Run(1, 401)
                           .Sparse(15)
                           .Build();
        spec.dataSize = spec.initializedSize = size_;
        spec.allocatedSize = 64 * cs_;
        spec.lastVcn = 63;
        spec.flags = kAttrFlagCompressed;
        spec.compressionUnit = 4;
        v_.Record(16, Rec().NonResidentAttribute(0x80, spec).Build());
        volume_ = std::make_unique<MemoryVolume>(v_.Build());
        return Recover(*volume_, o);
    }
    Bytes Expected(const Bytes& lastUnit) const {
        Bytes b = raw_;
        Bytes unit(16 * cs_, 0);
        std::copy_n("ABCDEFGHABCDEFGH", 16, unit.begin());
        b.insert(b.end(), unit.begin(), unit.end());
        b.resize(b.size() + 16 * cs_, 0);
        b.insert(b.end(), lastUnit.begin(), lastUnit.end());
        b.resize(size_);
        return b;
    }

    Bytes raw_;
    std::uint64_t size_ = 0;
    std::unique_ptr<MemoryVolume> volume_;
};

TEST_F(Compressed, RawCompressedAndSparseUnitsCutToTheDataSize) {
    if (!DecoderBuilt()) GTEST_SKIP() << "the LZNT1 decoder is not built into this tree";
    const RecoverResult r = Run(kChunk, 1000);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    Bytes last(16 * cs_, 0);
    std::copy_n("ABCDEFGHABCDEFGH", 16, last.begin());
    EXPECT_TRUE(Out() == Expected(last));
}

TEST_F(Compressed, ACorruptChunkDamagesItsUnitOnly) {
    const RecoverResult r = Run(kCorruptChunk, 1000);
    ASSERT_EQ(r.status, RecoverStatus::Damaged);
    const std::uint64_t unit = 16 * cs_;
    // Without the decoder the good compressed unit fails the same way.
    const Ranges lost =
        DecoderBuilt() ? Ranges{{3 * unit, 1000}} : Ranges{{unit, unit}, {3 * unit, 1000}};
    EXPECT_EQ(r.unreadable, lost);
    ASSERT_TRUE(Out());
    EXPECT_EQ(Out()->size(), size_);
    EXPECT_TRUE(std::equal(raw_.begin(), raw_.end(), Out()->begin()));
}

TEST_F(Compressed, RawOptionWritesTheClustersAsStored) {
    const RecoverResult r = Run(kChunk, 1000, RawOptions());
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    Bytes expect = raw_;
    Bytes stored(16 * cs_, 0);
    std::copy(kChunk.begin(), kChunk.end(), stored.begin());
    expect.insert(expect.end(), stored.begin(), stored.end());
    expect.resize(expect.size() + 16 * cs_, 0);
    expect.insert(expect.end(), stored.begin(), stored.begin() + 1000);
    EXPECT_TRUE(Out() == expect);
}

TEST_F(Content, AnUnfollowableCompressionUnitIsMalformed) {
    for (std::uint16_t unit : {0, 17}) {
        test::NonResidentSpec spec;
        spec.runList = RunListBuilder().Run(1, 300).Build();
        spec.dataSize = spec.initializedSize = cs_;
        spec.flags = kAttrFlagCompressed;
        spec.compressionUnit = unit;
        v_.Record(16, Rec().NonResidentAttribute(0x80, spec).Build());
        MemoryVolume volume(v_.Build());
        EXPECT_EQ(Recover(volume).status, RecoverStatus::Malformed) << unit;
    }
}

// ---- Encrypted content and named streams --------------------------------------------

TEST_F(Content, EncryptedContentIsGivenUpUnlessRawIsAsked) {
    v_.Data(300, Pattern(cs_, 4));
    Bytes info(72, 0);
    PutLe(info, 32, 0x4020, 4);  // archive, encrypted
    test::NonResidentSpec spec;
    spec.runList = RunListBuilder().Run(1, 300).Build();
    spec.dataSize = spec.initializedSize = 1000;
    struct Case {
        const char* what;
        test::RecordBuilder record;
    };
    test::NonResidentSpec flagged = spec;
    flagged.flags = kAttrFlagEncrypted;
    const std::vector<Case> cases = {
        {"file attribute", v_.NewRecord(16)
                               .ResidentAttribute(0x10, info)
                               .FileName(u"e")
                               .NonResidentAttribute(0x80, spec)},
        {"attribute flag",
         v_.NewRecord(16).StandardInformation(1, 2).FileName(u"e").NonResidentAttribute(0x80,
                                                                                        flagged)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        out_ = MemoryOutputFactory();
        v_.Record(16, c.record.Build());
        MemoryVolume volume(v_.Build());
        EXPECT_EQ(Recover(volume).status, RecoverStatus::Encrypted);
        EXPECT_FALSE(Out());
        const RecoverResult raw = Recover(volume, RawOptions());
        ASSERT_EQ(raw.status, RecoverStatus::Written);
        const Bytes stored = Pattern(cs_, 4);
        EXPECT_TRUE(Out() == Bytes(stored.begin(), stored.begin() + 1000));
    }
}

TEST_F(Content, NamedStreamsByName) {
    const Bytes secret = Pattern(2 * cs_, 6);
    v_.Data(300, secret);
    test::NonResidentSpec spec;
    spec.runList = RunListBuilder().Run(2, 300).Build();
    spec.dataSize = spec.initializedSize = 2 * cs_ - 5;
    spec.lastVcn = 1;
    spec.name = u"secret";
    v_.Record(16, Rec()
                      .ResidentData(test::BytesOf("main"))
                      .NonResidentAttribute(0x80, spec)
                      .ResidentData(test::BytesOf("note"), u"note")
                      .Build());
    MemoryVolume volume(v_.Build());
    struct Case {
        std::u16string stream;
        RecoverStatus status;
        Bytes content;
    };
    const std::vector<Case> cases = {
        {u"", RecoverStatus::Written, test::BytesOf("main")},
        {u"secret", RecoverStatus::Written, Bytes(secret.begin(), secret.end() - 5)},
        {u"note", RecoverStatus::Written, test::BytesOf("note")},
        {u"nothing", RecoverStatus::NoData, {}},
    };
    for (const Case& c : cases) {
        RecoverOptions o;
        o.stream = c.stream;
        MemoryOutputFactory fresh;
        const RecoverResult r =
            RecoverRecord(volume, PositionText(v_.RecordOffset(16)), Geometry(), "s", fresh, o);
        EXPECT_EQ(r.status, c.status);
        if (c.status == RecoverStatus::Written) {
            EXPECT_TRUE(fresh.File("s") == c.content);
        }
    }
}

}  // namespace
}  // namespace qm
