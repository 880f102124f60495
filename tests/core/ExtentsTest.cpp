// A $DATA attribute spread over extension records through its $ATTRIBUTE_LIST,
// and the list's own entries.
#include <gtest/gtest.h>

#include <map>

#include "ntfs/AttributeList.h"
#include "ntfs/Extents.h"
#include "platform/testing/FaultyOutput.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm {
namespace {

using test::Bytes;
using test::PutLe;
using test::RunListBuilder;
using test::VolumeBuilder;

std::uint64_t Ref(std::uint64_t record, std::uint16_t seq) {
    return record | (std::uint64_t{seq} << 48);
}

Bytes Entry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t ref,
            std::u16string_view name = u"") {
    const std::size_t length = std::max<std::size_t>(32, (26 + 2 * name.size() + 7) & ~7u);
    Bytes e(length, 0);
    PutLe(e, 0, type, 4);
    PutLe(e, 4, length, 2);
    PutLe(e, 6, name.size(), 1);
    PutLe(e, 7, 26, 1);
    PutLe(e, 8, startVcn, 8);
    PutLe(e, 16, ref, 8);
    for (std::size_t i = 0; i < name.size(); ++i) PutLe(e, 26 + 2 * i, name[i], 2);
    return e;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(AttributeList, EntriesAndTheirFaults) {
    const Bytes good = Concat({Entry(0x10, 0, Ref(16, 1)), Entry(0x80, 7, Ref(20, 3), u"ads")});
    auto parsed = ParseAttributeList(ByteView(good.data(), good.size()));
    ASSERT_TRUE(parsed) << parsed.error().ToString();
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*parsed)[1].type, 0x80u);
    EXPECT_EQ((*parsed)[1].startVcn, 7u);
    EXPECT_EQ(ReferenceRecord((*parsed)[1].reference), 20u);
    EXPECT_EQ(ReferenceSequence((*parsed)[1].reference), 3u);
    EXPECT_EQ((*parsed)[1].name, u"ads");
    // Bytes too few for another entry are padding.
    Bytes padded = good;
    padded.resize(padded.size() + 16, 0);
    EXPECT_EQ(ParseAttributeList(ByteView(padded.data(), padded.size()))->size(), 2u);

    struct Bad {
        const char* what;
        Bytes list;
        std::uint64_t position;
    };
    Bytes shortLength = good, pastEnd = good, longName = good;
    PutLe(shortLength, 32 + 4, 8, 2);  // the second entry says 8 bytes
    PutLe(pastEnd, 32 + 4, 0x400, 2);
    PutLe(longName, 32 + 6, 40, 1);  // 40 units of name in a 40-byte entry
    const std::vector<Bad> cases = {
        {"length below the minimum", shortLength, 32 + 4},
        {"entry leaves the list", pastEnd, 32},
        {"name leaves its entry", longName, 32 + 7},
    };
    for (const Bad& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = ParseAttributeList(ByteView(c.list.data(), c.list.size()));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().position, c.position);
    }
}

// A file of six clusters: VCNs 0-1 in base record 16, 2-3 in record 20, 4-5 in
// record 21, each extent elsewhere on the volume.
class ExtensionRecords : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSize = 6 * 4096 - 100;

    void SetUp() override {
        v_.MftCluster(4).RecordCount(64);
        cs_ = v_.ClusterSize();
        for (int i = 0; i < 3; ++i) {
            parts_[i] = Bytes(2 * cs_);
            for (std::size_t k = 0; k < parts_[i].size(); ++k)
                parts_[i][k] = static_cast<std::uint8_t>(k * 13 + i * 71 + (k >> 10));
            v_.Data(300 + 10 * i, parts_[i]);
        }
        content_ = Concat({parts_[0], parts_[1], parts_[2]});
        content_.resize(kSize);
    }

    test::RecordBuilder Extension(std::uint32_t number, std::uint64_t vcn, std::uint64_t lcn,
                                  std::uint64_t baseRef = Ref(16, 1)) const {
        test::NonResidentSpec spec;
        spec.runList = RunListBuilder().Run(2, lcn).Build();
        spec.startVcn = vcn;
        spec.lastVcn = vcn + 1;
        spec.allocatedSize = 0;
        return v_.NewRecord(number).Flags(0).BaseReference(baseRef).NonResidentAttribute(0x80,
                                                                                         spec);
    }

    // Places the base record with `list` as its attribute list (resident,
    // or in cluster 500 when `nonResident`, its size recorded as `recorded`
    // bytes when given) and recovers it through the MFT map.
    RecoverResult Recover(const Bytes& list, bool nonResident = false, std::size_t recorded = 0) {
        test::RecordBuilder base = v_.NewRecord(16).StandardInformation(1, 2);
        if (nonResident) {
            v_.Data(500, list);
            test::NonResidentSpec spec;
            spec.runList = RunListBuilder().Run(1, 500).Build();
            spec.dataSize = spec.initializedSize = recorded ? recorded : list.size();
            spec.allocatedSize = cs_;
            base.NonResidentAttribute(0x20, spec);
        } else {
            base.ResidentAttribute(0x20, list);
        }
        base.FileName(u"spread.bin")
            .NonResidentData(RunListBuilder().Run(2, 300).Build(), kSize, kSize, 0, 1);
        v_.Record(16, base.Build());
        for (auto& [n, r] : extensions_) v_.Record(n, r.Build());
        image_ = v_.Build();
        MemoryVolume volume(image_);
        const SetupResult layout = ReadVolumeLayout(volume);
        EXPECT_TRUE(layout.info) << layout.reason;
        testing::MemoryOutputFactory memory;
        RecoverResult r =
            RecoverRecord(volume, PositionText(v_.RecordOffset(16)), layout.info->geometry, "x",
                          memory, nullptr, &layout.info->map);
        out_ = memory.File("x").value_or(Bytes{});
        return r;
    }

    Bytes StandardList() const {
        return Concat({Entry(0x10, 0, Ref(16, 1)), Entry(0x30, 0, Ref(16, 1)),
                       Entry(0x80, 0, Ref(16, 1)), Entry(0x80, 2, Ref(20, 1)),
                       Entry(0x80, 4, Ref(21, 1))});
    }
    Bytes WithHole(std::size_t from, std::size_t length) const {
        Bytes b = content_;
        std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(from), length, std::uint8_t{0});
        return b;
    }

    VolumeBuilder v_;
    std::uint32_t cs_ = 0;
    Bytes parts_[3];
    Bytes content_, image_, out_;
    std::map<std::uint32_t, test::RecordBuilder> extensions_;
};

TEST_F(ExtensionRecords, GatheredByStartingVcnFromResidentAndNonResidentLists) {
    extensions_.emplace(20, Extension(20, 2, 310));
    extensions_.emplace(21, Extension(21, 4, 320));
    for (bool nonResident : {false, true}) {
        SCOPED_TRACE(nonResident);
        auto r = Recover(StandardList(), nonResident);
        ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
        EXPECT_EQ(out_, content_);
    }
    // Listed out of order, extension records whose sequence counted up once
    // when they were freed: the same bytes.
    extensions_.at(21).SequenceNumber(2);
    const Bytes shuffled = Concat(
        {Entry(0x80, 4, Ref(21, 1)), Entry(0x80, 0, Ref(16, 1)), Entry(0x80, 2, Ref(20, 1))});
    auto r = Recover(shuffled);
    ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
    EXPECT_EQ(out_, content_);
}

TEST_F(ExtensionRecords, AMissingExtentIsDamageWhereItIsMissing) {
    using Records = std::map<std::uint32_t, test::RecordBuilder>;
    struct Case {
        const char* what;
        Records records;
        std::size_t from, length;  // the content lost
    };
    const std::size_t tail = kSize - 4 * cs_;
    const std::vector<Case> cases = {
        {"record 21 never written", {{20, Extension(20, 2, 310)}}, 4 * cs_, tail},
        {"record 21 belongs to another file",
         {{20, Extension(20, 2, 310)}, {21, Extension(21, 4, 320, Ref(17, 1))}},
         4 * cs_,
         tail},
        {"record 21 reused (wrong sequence)",
         {{20, Extension(20, 2, 310)}, {21, Extension(21, 4, 320).SequenceNumber(9)}},
         4 * cs_,
         tail},
        {"record 20 holds another VCN",
         {{20, Extension(20, 8, 310)}, {21, Extension(21, 4, 320)}},
         2 * cs_,
         2 * cs_},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        extensions_ = c.records;
        auto r = Recover(StandardList());
        ASSERT_EQ(r.status, RecoverStatus::Damaged) << r.detail;
        EXPECT_EQ(r.unreadable, (std::vector<ByteRange>{{c.from, c.length}}));
        EXPECT_EQ(out_, WithHole(c.from, c.length));
        EXPECT_FALSE(r.detail.empty());
    }
}

// A list whose recorded size leaves out its last entry (as a driver leaves it
// when it drops the $FILE_NAME entry of a deleted file): an entry past the
// size that carries on where the pieces end completes the file; one that
// does not is not believed.
TEST_F(ExtensionRecords, AnEntryPastTheListsSizeThatCarriesOnIsTaken) {
    extensions_.emplace(20, Extension(20, 2, 310));
    extensions_.emplace(21, Extension(21, 4, 320));
    const Bytes head = Concat(
        {Entry(0x10, 0, Ref(16, 1)), Entry(0x80, 0, Ref(16, 1)), Entry(0x80, 2, Ref(20, 1))});
    for (const std::uint64_t vcn : {4u, 5u}) {
        SCOPED_TRACE(vcn);
        auto r = Recover(Concat({head, Entry(0x80, vcn, Ref(21, 1))}), true, head.size());
        if (vcn == 4) {
            ASSERT_EQ(r.status, RecoverStatus::Written) << r.detail;
            EXPECT_EQ(out_, content_);
        } else {
            ASSERT_EQ(r.status, RecoverStatus::Damaged) << r.detail;
            EXPECT_EQ(out_, WithHole(4 * cs_, kSize - 4 * cs_));
        }
    }
}

TEST_F(ExtensionRecords, OverlappingPiecesAreMalformed) {
    extensions_.emplace(20, Extension(20, 1, 310));  // VCN 1 is the base record's too
    extensions_.emplace(21, Extension(21, 4, 320));
    auto r = Recover(Concat(
        {Entry(0x80, 0, Ref(16, 1)), Entry(0x80, 1, Ref(20, 1)), Entry(0x80, 4, Ref(21, 1))}));
    EXPECT_EQ(r.status, RecoverStatus::Malformed) << r.detail;
}

}  // namespace
}  // namespace qm
