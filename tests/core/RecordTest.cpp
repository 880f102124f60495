// Update-sequence fixups and the attribute walk, on records built byte by byte.
#include <gtest/gtest.h>

#include <cstring>

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

void Put(std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A record of `size` bytes with stride `stride`, protected with sequence number 0xBEEF;
// the true sector ends are (0x11 * i, 0x22 * i).
std::vector<std::uint8_t> Protected(std::size_t size, std::size_t stride) {
    std::vector<std::uint8_t> r(size, 0);
    std::memcpy(r.data(), "FILE", 4);
    const std::size_t sectors = size / stride;
    Put(r, 4, 48, 2);
    Put(r, 6, sectors + 1, 2);
    Put(r, 48, 0xBEEF, 2);
    for (std::size_t i = 1; i <= sectors; ++i) {
        r[48 + 2 * i] = static_cast<std::uint8_t>(0x11 * i);
        r[48 + 2 * i + 1] = static_cast<std::uint8_t>(0x22 * i);
        Put(r, i * stride - 2, 0xBEEF, 2);
    }
    Put(r, 20, (48 + 2 * (sectors + 1) + 7) & ~std::size_t{7}, 2);
    return r;
}

TEST(Fixups, RestoresEverySectorEnd) {
    for (std::size_t stride : {512u, 4096u}) {
        SCOPED_TRACE(stride);
        auto r = Protected(stride == 512 ? 1024 : 4096, stride);
        ASSERT_TRUE(ApplyFixups(r, static_cast<std::uint32_t>(stride)));
        const std::size_t sectors = r.size() / stride;
        for (std::size_t i = 1; i <= sectors; ++i) {
            EXPECT_EQ(r[i * stride - 2], static_cast<std::uint8_t>(0x11 * i));
            EXPECT_EQ(r[i * stride - 1], static_cast<std::uint8_t>(0x22 * i));
        }
    }
}

TEST(Fixups, BlockStrideOnLargeSectors) {
    // A 4096-byte record protected in 512-byte blocks on a 4096-byte-sector volume.
    auto r = Protected(4096, 512);
    EXPECT_TRUE(ApplyFixups(r, 4096));
    EXPECT_EQ(r[4095], static_cast<std::uint8_t>(0x22 * 8));
}

TEST(Fixups, TornSectorFailsAfterEarlierSectorsAreRestored) {
    auto r = Protected(1024, 512);
    r[1023] = 0x00;  // second sector torn
    EXPECT_FALSE(ApplyFixups(r, 512));
    EXPECT_EQ(r[510], 0x11);  // the first was already restored
    auto one = Protected(1024, 512);
    one[1022] = 0x00;  // matches the number in one byte only
    EXPECT_FALSE(ApplyFixups(one, 512));
}

TEST(Fixups, RefusesWhatCannotBeChecked) {
    auto sig = Protected(1024, 512);
    sig[0] = 'B';
    auto before = sig;
    EXPECT_FALSE(ApplyFixups(sig, 512));
    EXPECT_EQ(sig, before);

    std::vector<std::uint8_t> zeros(1024, 0);
    EXPECT_FALSE(ApplyFixups(zeros, 512));

    for (std::uint64_t count : {0u, 1u, 4u, 0xFFFFu}) {  // 4: more sectors than the record has
        auto r = Protected(1024, 512);
        Put(r, 6, count, 2);
        EXPECT_FALSE(ApplyFixups(r, 512)) << "count " << count;
    }
    auto farUsa = Protected(1024, 512);
    Put(farUsa, 4, 1020, 2);  // the array runs past the record
    EXPECT_FALSE(ApplyFixups(farUsa, 512));

    auto r = Protected(1024, 512);
    EXPECT_FALSE(ApplyFixups(r, 0));
    std::vector<std::uint8_t> tiny{'F', 'I', 'L', 'E', 0, 0};
    EXPECT_FALSE(ApplyFixups(tiny, 512));
    std::vector<std::uint8_t> empty;
    EXPECT_FALSE(ApplyFixups(empty, 512));
}

// A record holding the given attributes (already laid out) after the header.
struct Attr {
    std::uint32_t type;
    std::uint32_t length;  // multiple of 8
    std::uint8_t ns = 0;   // for $FILE_NAME
};

std::vector<std::uint8_t> WithAttributes(const std::vector<Attr>& attrs, bool end = true) {
    std::vector<std::uint8_t> r(1024, 0);
    std::memcpy(r.data(), "FILE", 4);
    Put(r, 20, 56, 2);
    std::size_t p = 56;
    for (const Attr& a : attrs) {
        Put(r, p, a.type, 4);
        Put(r, p + 4, a.length, 4);
        r[p + 8] = static_cast<std::uint8_t>(a.length & 0xFF);  // a marker to tell copies apart
        if (a.type == kAttrFileName) r.at(p + 89) = a.ns;
        p += a.length;
    }
    if (end) Put(r, p, kAttrEnd, 4);
    return r;
}

TEST(FindAttribute, FirstOfTypeInRecordOrder) {
    auto r = WithAttributes({{0x10, 96}, {0x30, 104}, {0x80, 72}, {0x80, 80}});
    auto data = FindAttribute(r, kAttrData);
    ASSERT_EQ(data.size(), 72u);
    EXPECT_EQ(data[8], 72);
    EXPECT_TRUE(FindAttribute(r, 0x40).empty());
    // A buffer that starts with an attribute header is walked from its first byte.
    std::vector<std::uint8_t> tail(r.begin() + 56 + 96, r.end());
    EXPECT_EQ(FindAttribute(tail, kAttrData).size(), 72u);
}

TEST(FindAttribute, FileNameRulePassesOverDosAndUnknownNamespaces) {
    auto r = WithAttributes({{0x30, 104, 2}, {0x30, 112, 1}});
    EXPECT_EQ(FindAttribute(r, kAttrFileName, true).size(), 112u);
    EXPECT_EQ(FindAttribute(r, kAttrFileName, false).size(), 104u);
    for (std::uint8_t ns : {2, 4, 255}) {
        auto only = WithAttributes({{0x30, 104, ns}});
        EXPECT_TRUE(FindAttribute(only, kAttrFileName, true).empty()) << int(ns);
    }
    for (std::uint8_t ns : {0, 1, 3}) {
        auto only = WithAttributes({{0x30, 104, ns}});
        EXPECT_EQ(FindAttribute(only, kAttrFileName, true).size(), 104u) << int(ns);
    }
    // The rule means nothing for other types.
    auto data = WithAttributes({{0x80, 104}});
    EXPECT_EQ(FindAttribute(data, kAttrData, true).size(), 104u);
}

TEST(FindAttribute, CopyIsCutAtTheEndOfTheRecord) {
    auto r = WithAttributes({{0x10, 96}, {0x80, 72}}, false);
    Put(r, 56 + 96 + 4, 4096, 4);  // claims to run past the record
    auto data = FindAttribute(r, kAttrData);
    EXPECT_EQ(data.size(), 1024u - 56 - 96);
}

TEST(FindAttribute, MalformedWalksEndEmpty) {
    // Length 0 on an attribute before the one asked for.
    auto zero = WithAttributes({{0x10, 96}, {0x80, 72}});
    Put(zero, 56 + 4, 0, 4);
    EXPECT_TRUE(FindAttribute(zero, kAttrData).empty());
    // Length not a multiple of 8.
    auto odd = WithAttributes({{0x10, 97}, {0x80, 72}});
    EXPECT_TRUE(FindAttribute(odd, kAttrData).empty());
    // No end marker: the walk stops at the end of the buffer.
    auto noEnd = WithAttributes({{0x10, 96}}, false);
    EXPECT_TRUE(FindAttribute(noEnd, kAttrData).empty());
    // Lengths that step past the end.
    auto big = WithAttributes({{0x10, 96}});
    Put(big, 56 + 4, 0xFFFFFFF8u, 4);
    EXPECT_TRUE(FindAttribute(big, kAttrData).empty());
    // First-attribute offset past the record, or leaving less than a header.
    auto past = WithAttributes({{0x80, 72}});
    Put(past, 20, 0xFFFF, 2);
    EXPECT_TRUE(FindAttribute(past, kAttrData).empty());
    Put(past, 20, 1020, 2);
    EXPECT_TRUE(FindAttribute(past, kAttrData).empty());
    // A $FILE_NAME too short to hold its namespace byte, at the end of the buffer.
    std::vector<std::uint8_t> shortFn(64, 0);
    Put(shortFn, 0, 0x30, 4);
    Put(shortFn, 4, 64, 4);
    EXPECT_TRUE(FindAttribute(shortFn, kAttrFileName, true).empty());
    EXPECT_EQ(FindAttribute(shortFn, kAttrFileName, false).size(), 64u);
}

TEST(FindAttribute, OneWalkFindsWhatThreeLookupsFind) {
    // A $FILE_NAME too short for its namespace byte ends the name search, not the others.
    auto shortFnFirst = WithAttributes({{0x10, 96}, {0x30, 64}, {0x30, 104, 1}, {0x80, 72}});
    auto zeroLength = WithAttributes({{0x10, 96}, {0x30, 104}, {0x80, 72}});
    Put(zeroLength, 56 + 96 + 4, 0, 4);  // the walk ends before $FILE_NAME and $DATA
    const std::vector<std::vector<std::uint8_t>> records = {
        WithAttributes({{0x10, 96}, {0x30, 104, 2}, {0x30, 112, 1}, {0x80, 72}, {0x80, 80}}),
        WithAttributes({{0x80, 72}, {0x30, 104, 3}, {0x10, 96}, {0x10, 88}}),
        WithAttributes({{0x30, 104, 2}, {0x30, 112, 4}, {0x80, 72}}),
        WithAttributes({{0x10, 96}, {0x40, 32}, {0x30, 104, 0}}),
        WithAttributes({}),
        shortFnFirst,
        zeroLength,
    };
    auto same = [](std::optional<ByteView> a, std::optional<ByteView> b) {
        return a.has_value() == b.has_value() &&
               (!a || (a->data() == b->data() && a->size() == b->size()));
    };
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ByteView r(records[i].data(), records[i].size());
        const FileAttributes a = FindFileAttributes(r);
        EXPECT_TRUE(same(a.standardInformation, FindAttributeView(r, kAttrStandardInformation)))
            << i;
        EXPECT_TRUE(same(a.fileName, FindAttributeView(r, kAttrFileName, true))) << i;
        EXPECT_TRUE(same(a.data, FindAttributeView(r, kAttrData))) << i;
    }
}

TEST(RecordFlagsTest, ReadsOffset22) {
    auto r = WithAttributes({});
    Put(r, 22, 0x0003, 2);
    EXPECT_EQ(RecordFlags(ByteView(r.data(), r.size())), 3);
    std::vector<std::uint8_t> cut(r.begin(), r.begin() + 23);
    EXPECT_FALSE(RecordFlags(ByteView(cut.data(), cut.size())));
}

}  // namespace
}  // namespace qm
