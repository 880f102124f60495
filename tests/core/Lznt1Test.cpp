// LZNT1 decoding from hand-made chunks: literals, back-references at every
// change of the offset/length split, stored chunks, overlapping copies, and
// the malformed data a damaged volume hands us.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "ntfs/Lznt1.h"
#include "tests/support/Lznt1Writer.h"

namespace qm {
namespace {

using test::Lznt1Writer;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint32_t seed = 1) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
}

ErrorOr<Bytes> Decode(const Bytes& in, std::size_t capacity = 65536) {
    Bytes out(capacity);
    auto n = DecompressLznt1(in, out);
    if (!n) return n.take_error();
    out.resize(*n);
    return out;
}

Bytes DecodeOk(const Bytes& in) {
    auto out = Decode(in);
    EXPECT_TRUE(out.ok()) << out.error().ToString();
    return out.ok() ? *out : Bytes{};
}

TEST(Lznt1, LiteralsOnly) {
    // "abc": one flag byte 0x00 and three literals; header 0xB000 | (4 + 2 - 3).
    EXPECT_EQ(DecodeOk({0x03, 0xB0, 0x00, 'a', 'b', 'c', 0x00, 0x00}), Bytes({'a', 'b', 'c'}));
    // More than eight literals take a second flag byte.
    const Bytes text = Pattern(21);
    EXPECT_EQ(DecodeOk(Lznt1Writer().Literals(text).EndChunk().Build()), text);
    // No data at all, and data ended by the input instead of a zero header.
    EXPECT_EQ(DecodeOk({}), Bytes{});
    EXPECT_EQ(DecodeOk({0x00, 0x00, 0xAA, 0xBB}), Bytes{});
    EXPECT_EQ(DecodeOk(Lznt1Writer().Literals(text).EndChunk().Raw({0x7F}).Build()), text);
}

// A back-reference to the first bytes of the chunk, made after `produced`
// bytes: its offset is the largest the split at that position allows, so a
// split one bit off reads another offset and another length. The chunk comes
// after a stored one, whose bytes the reference must not reach.
TEST(Lznt1, BackReferencesAtEachSplit) {
    struct Case {
        std::size_t produced;
        unsigned lengthBits;
    };
    const Case cases[] = {{4, 12},  {16, 12},  {17, 11},  {32, 11},  {33, 10},  {64, 10},
                          {65, 9},  {128, 9},  {129, 8},  {256, 8},  {257, 7},  {512, 7},
                          {513, 6}, {1024, 6}, {1025, 5}, {2048, 5}, {2049, 4}, {4093, 4}};
    const Bytes first = Pattern(4096, 99);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.produced);
        // "ABC", then 'z' up to `produced`: one literal and a run of offset 1.
        Lznt1Writer w;
        w.StoredChunk(first).Literals(Bytes{'A', 'B', 'C', 'z'});
        if (c.produced > 4) w.Reference(1, c.produced - 4, 12);
        w.Reference(c.produced, 3, c.lengthBits).EndChunk();

        Bytes expected = first;
        expected.insert(expected.end(), {'A', 'B', 'C'});
        expected.insert(expected.end(), c.produced - 3, 'z');
        expected.insert(expected.end(), {'A', 'B', 'C'});
        EXPECT_EQ(DecodeOk(w.Build()), expected);
    }
}

TEST(Lznt1, LongestReferenceAtEachSplit) {
    // After 16 bytes a reference carries up to 4098 bytes (12 length bits),
    // after 17 up to 2050; past the chunk's 4096 bytes either is refused.
    const Bytes head = Pattern(17, 5);
    Bytes in = Lznt1Writer().Literals(head).Reference(17, 2050, 11).EndChunk().Build();
    auto out = Decode(in);
    ASSERT_TRUE(out.ok()) << out.error().ToString();
    ASSERT_EQ(out->size(), 17u + 2050u);
    for (std::size_t i = 17; i < out->size(); ++i) ASSERT_EQ((*out)[i], (*out)[i - 17]) << i;

    in = Lznt1Writer().Literal('x').Reference(1, 4095, 12).EndChunk().Build();
    EXPECT_EQ(DecodeOk(in), Bytes(4096, 'x'));
    in = Lznt1Writer().Literals(Bytes{'x', 'y'}).Reference(1, 4095, 12).EndChunk().Build();
    EXPECT_FALSE(Decode(in).ok());
}

TEST(Lznt1, OverlappingCopies) {
    // Offset 1, length 20 repeats the last byte; offset 2 repeats a pair.
    EXPECT_EQ(DecodeOk({0x03, 0xB0, 0x02, 'a', 0x11, 0x00, 0x00, 0x00}), Bytes(21, 'a'));
    Bytes in = Lznt1Writer().Literals(Bytes{'a', 'b'}).Reference(2, 7, 12).EndChunk().Build();
    EXPECT_EQ(DecodeOk(in), Bytes({'a', 'b', 'a', 'b', 'a', 'b', 'a', 'b', 'a'}));
}

TEST(Lznt1, StoredAndCompressedChunksInSequence) {
    const Bytes a = Pattern(4096, 1), b = Pattern(4096, 2), tail = Pattern(300, 3);
    Bytes in = Lznt1Writer()
                   .StoredChunk(a)
                   .Literal('q')
                   .Reference(1, 4095, 12)
                   .EndChunk()
                   .StoredChunk(b)
                   .Literals(tail)
                   .EndChunk()
                   .Raw({0x00, 0x00})
                   .Build();
    Bytes expected = a;
    expected.insert(expected.end(), 4096, 'q');
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(DecodeOk(in), expected);
    // The stored chunk's header as NTFS writes it: 0x3FFF.
    EXPECT_EQ(in[0], 0xFF);
    EXPECT_EQ(in[1], 0x3F);
}

// Each malformed input fails with the byte in `in` where it goes wrong.
TEST(Lznt1, MalformedDataIsRefusedWithItsPosition) {
    const Bytes full = Pattern(4096, 7);
    struct Case {
        const char* what;
        Bytes in;
        std::uint64_t position;
    };
    const Case cases[] = {
        {"chunk longer than the input", {0x09, 0xB0, 0x00, 'a', 'b'}, 0},
        {"second chunk cut", Lznt1Writer().StoredChunk(full).Raw({0x05, 0xB0, 0x00, 'a'}).Build(),
         4098},
        {"reference cut by the chunk end", {0x02, 0xB0, 0x02, 'a', 0x11}, 4},
        {"reference as the first token", {0x02, 0xB0, 0x01, 0x00, 0x00}, 3},
        {"reference before the chunk start",
         Lznt1Writer().Literals(Bytes{'a', 'b'}).Reference(3, 3, 12).EndChunk().Build(), 5},
        {"reference into the previous chunk",
         Lznt1Writer().StoredChunk(full).Literal('a').Reference(2, 3, 12).EndChunk().Build(),
         4098 + 4},
        {"literals past 4096 bytes",
         Lznt1Writer().Literal('a').Reference(1, 4095, 12).Literal('b').EndChunk().Build(), 6},
        {"chunk after a short chunk",
         Lznt1Writer().Literals(Bytes{'a'}).EndChunk().StoredChunk(full).Build(), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto out = Decode(c.in);
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().code, ErrorCode::BadCompression) << out.error().ToString();
        EXPECT_EQ(out.error().position, c.position) << out.error().ToString();
    }
}

TEST(Lznt1, NeverWritesPastTheOutput) {
    // The output is a window inside a larger buffer; the bytes after it stay.
    const Bytes data = Pattern(5000, 11);
    const struct {
        const char* what;
        Bytes in;
    } cases[] = {
        {"stored", test::CompressLznt1Literals(data)},
        {"literals", Lznt1Writer().Literals(Pattern(3000, 4)).EndChunk().Build()},
        {"reference", Lznt1Writer().Literal('r').Reference(1, 4000, 12).EndChunk().Build()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (std::size_t capacity : {0u, 1u, 2999u}) {
            Bytes buffer(capacity + 64, 0xEE);
            auto n = DecompressLznt1(c.in, std::span(buffer).first(capacity));
            ASSERT_FALSE(n.ok());
            EXPECT_EQ(n.error().code, ErrorCode::OutOfRange);
            for (std::size_t i = capacity; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
        }
    }
    // Exactly enough room is enough.
    Bytes out(data.size());
    auto n = DecompressLznt1(test::CompressLznt1Literals(data), out);
    ASSERT_TRUE(n.ok()) << n.error().ToString();
    EXPECT_EQ(out, data);
}

TEST(Lznt1, RoundTripsThroughTheTestCompressor) {
    // Text-like data with repeats at every distance, and data that does not
    // shrink (stored chunks), across chunk boundaries.
    Bytes text;
    const std::string words[] = {"volume ", "record ", "cluster ", "attribute ", "run "};
    std::mt19937 rng(3);
    while (text.size() < 3 * 4096 + 1234) {
        const std::string& w = words[rng() % 5];
        text.insert(text.end(), w.begin(), w.end());
    }
    for (const Bytes& data : {text, Pattern(2 * 4096 + 17, 8), Bytes(10000, 0)}) {
        const Bytes packed = test::CompressLznt1(data);
        EXPECT_EQ(DecodeOk(packed), data);
        EXPECT_EQ(DecodeOk(test::CompressLznt1Literals(data)), data);
    }
    EXPECT_LT(test::CompressLznt1(text).size(), text.size() / 2);
}

}  // namespace
}  // namespace qm
