#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Crc32.h"
#include "deep/carve/Inflate.h"

namespace qm::deep {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

class Collect final : public ByteSink {
public:
    void Write(ByteView b) override {
        text.append(reinterpret_cast<const char*>(b.data()), b.size());
    }
    std::string text;
};

// Hands out its bytes `step` at a time, as a slow device would.
class Trickle final : public ByteSource {
public:
    Trickle(const Bytes& b, std::size_t step) : b_(b), step_(step) {}
    std::size_t Read(std::span<std::uint8_t> out) override {
        const std::size_t k = std::min({out.size(), step_, b_.size() - pos_});
        std::copy(b_.begin() + pos_, b_.begin() + pos_ + k, out.begin());
        pos_ += k;
        return k;
    }

private:
    const Bytes& b_;
    std::size_t step_, pos_ = 0;
};

const std::string kDynamicText = [] {
    std::string s;
    for (int i = 0; i < 4; ++i)
        s += "the quick brown fox jumps over the lazy dog; the lazy dog sleeps. ";
    return s;
}();

struct Case {
    const char* what;
    const char* hex;
    InflateStatus status;
    std::string output;  // for Done
    std::size_t consumed;
};

TEST(Inflate, DecodesAndRejects) {
    const Case cases[] = {
        {"stored block", "010500faff68656c6c6f", InflateStatus::Done, "hello", 10},
        {"empty stored block", "010000ffff", InflateStatus::Done, "", 5},
        {"fixed codes with a match", "4b4c4a4ec4861401", InflateStatus::Done,
         "abcabcabcabcabcabcabcabc!", 8},
        {"dynamic codes",
         "2bc94855282ccd4cce56482aca2fcf5348cbaf50c82acd2d2856c82f4b2d5228014ae72456552aa4e4a75ba3"
         "f0148a7352530b8af5c08243df0400",
         InflateStatus::Done, kDynamicText, 59},
        {"bytes after the stream are left", "010500faff68656c6c6f4142", InflateStatus::Done,
         "hello", 10},
        {"stored length and its complement differ", "010500fbff68656c6c6f", InflateStatus::Corrupt,
         "", 0},
        {"block type 3", "07", InflateStatus::Corrupt, "", 0},
        // Fixed codes: a length code first, with nothing to copy from.
        {"distance before the start", "0302", InflateStatus::Corrupt, "", 0},
        // A dynamic header whose code length code has four codes of one bit.
        {"over-subscribed code", "05009204", InflateStatus::Corrupt, "", 0},
        {"stored block cut short", "010500faff6865", InflateStatus::Truncated, "", 0},
        {"no final block", "000000ffff", InflateStatus::Truncated, "", 0},
        {"nothing at all", "", InflateStatus::Truncated, "", 0},
    };
    Inflater inflater;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes in = Hex(c.hex);
        MemorySource src(ByteView(in.data(), in.size()));
        Collect out;
        const InflateResult r = inflater.Run(src, 1u << 20, &out);
        EXPECT_EQ(r.status, c.status);
        if (c.status != InflateStatus::Done) continue;
        EXPECT_EQ(out.text, c.output);
        EXPECT_EQ(r.consumed, c.consumed);
        EXPECT_EQ(r.produced, c.output.size());
        EXPECT_EQ(r.crc, Crc32(0, ByteView(reinterpret_cast<const std::uint8_t*>(c.output.data()),
                                           c.output.size())));
    }
}

// The same stream through sources that hand out one byte, seven bytes or
// all at once decodes alike; a stream cut anywhere is truncated (or corrupt),
// never finished, and is not read past its end.
TEST(Inflate, StreamsAndNoticesCuts) {
    const Bytes in = Hex(
        "2bc94855282ccd4cce56482aca2fcf5348cbaf50c82acd2d2856c82f4b2d5228014ae72456552aa4e4a75ba3"
        "f0148a7352530b8af5c08243df0400");
    Inflater inflater;
    for (std::size_t step : {1, 7, 4096}) {
        Trickle src(in, step);
        Collect out;
        const InflateResult r = inflater.Run(src, 1u << 20, &out);
        EXPECT_EQ(r.status, InflateStatus::Done) << step;
        EXPECT_EQ(out.text, kDynamicText) << step;
        EXPECT_EQ(r.consumed, in.size()) << step;
    }
    for (std::size_t cut = 0; cut < in.size(); ++cut) {
        const Bytes part(in.begin(), in.begin() + cut);
        MemorySource src(ByteView(part.data(), part.size()));
        const InflateResult r = inflater.Run(src, 1u << 20);
        EXPECT_NE(r.status, InflateStatus::Done) << cut;
        EXPECT_LE(r.consumed, cut);
    }
}

TEST(Inflate, StopsAtTheOutputLimit) {
    // 64 KiB of zeros: a literal, then matches of 258 at distance 1.
    Bytes in =
        Hex("edc101010000008090feafee080a000000000000000000000000000000000000000000000000"
            "0000000000000000000000000000000000000000000000000000000000000000000000000000"
            "006a");
    Inflater inflater;
    MemorySource all(ByteView(in.data(), in.size()));
    const InflateResult full = inflater.Run(all, 1u << 20);
    ASSERT_EQ(full.status, InflateStatus::Done);
    EXPECT_EQ(full.produced, 65536u);
    MemorySource capped(ByteView(in.data(), in.size()));
    EXPECT_EQ(inflater.Run(capped, 1000).status, InflateStatus::TooLong);
}

}  // namespace
}  // namespace qm::deep
