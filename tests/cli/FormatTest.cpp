// The text forms of quillmere-cli's rows: times, positions and escaped fields,
// written straight into a buffer or appended to a string.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/Format.h"

namespace qm::cli {
namespace {

std::string Iso(std::uint64_t fileTime) {
    std::string s = "<";
    if (!AppendIsoUtc(s, fileTime)) s += "none";
    return s + ">";
}

TEST(Format, TimesAcrossDaysAndTheEndOfTheCalendar) {
    // The date part is kept from one call to the next: days change, come back,
    // and the last day of the calendar holds values that are no time at all.
    EXPECT_EQ(Iso(127225727999990000ull), "<2004-02-29T23:59:59.999Z>");
    EXPECT_EQ(Iso(127225728000000000ull), "<2004-03-01T00:00:00.000Z>");
    EXPECT_EQ(Iso(127224864000010000ull), "<2004-02-29T00:00:00.001Z>");
    EXPECT_EQ(Iso(127224864000010000ull), "<2004-02-29T00:00:00.001Z>");
    EXPECT_EQ(Iso(0), "<1601-01-01T00:00:00.000Z>");
    EXPECT_EQ(Iso((1ull << 63) - 1), "<30828-09-14T02:48:05.477Z>");
    EXPECT_EQ(Iso(1ull << 63), "<none>");
    EXPECT_EQ(Iso(~0ull), "<none>");
    EXPECT_EQ(Iso(127225728000000000ull), "<2004-03-01T00:00:00.000Z>");
}

TEST(Format, PositionsAndNumbers) {
    std::string s;
    AppendPosition(s, 5);
    s += ' ';
    AppendPosition(s, 0xC0004000);
    s += ' ';
    AppendPosition(s, 0x1771B0000);
    s += ' ';
    AppendPosition(s, ~0ull);
    s += ' ';
    AppendUnsigned(s, 0);
    s += ' ';
    AppendUnsigned(s, ~0ull);
    EXPECT_EQ(s, "0x05 0xC0004000 0x1771B0000 0xFFFFFFFFFFFFFFFF 0 18446744073709551615");
}

TEST(Format, EscapedFieldsShortAndLong) {
    const std::string tricky = "a\\b\tc\nd\re\x01\x7F\"f";
    std::string tsv, json;
    AppendTsvField(tsv, tricky);
    AppendJsonString(json, tricky);
    EXPECT_EQ(tsv, "a\\\\b\\tc\\nd\\re\\x01\\x7F\"f");
    EXPECT_EQ(json, "\"a\\\\b\\tc\\nd\\re\\u0001\\u007F\\\"f\"");
    // Long enough to be written in place in the string, after what it holds.
    std::string longTsv = "x", longJson = "x";
    std::string many;
    for (int i = 0; i < 40; ++i) many += tricky;
    AppendTsvField(longTsv, many);
    AppendJsonString(longJson, many);
    std::string wantTsv = "x", wantJson = "x\"";
    for (int i = 0; i < 40; ++i) {
        wantTsv += tsv;
        wantJson += json.substr(1, json.size() - 2);
    }
    EXPECT_EQ(longTsv, wantTsv);
    EXPECT_EQ(longJson, wantJson + "\"");
}

// Fields are looked at eight bytes at a time: a byte that needs an escape is
// found at every place of a word, and bytes beside the ones that need it
// (0x1F and 0x20, 0x7E to 0x80, UTF-8's high bytes) are told apart.
TEST(Format, EveryByteAtEveryPlaceOfAWord) {
    auto tsvOf = [](unsigned char c) -> std::string {
        if (c == '\\') return "\\\\";
        if (c == '\t') return "\\t";
        if (c == '\n') return "\\n";
        if (c == '\r') return "\\r";
        if (c < 0x20 || c == 0x7F) {
            char t[5];
            std::snprintf(t, sizeof t, "\\x%02X", c);
            return t;
        }
        return std::string(1, static_cast<char>(c));
    };
    for (unsigned c : {0x00u, 0x09u, 0x1Fu, 0x20u, 0x22u, 0x5Bu, 0x5Cu, 0x5Du, 0x7Eu, 0x7Fu, 0x80u,
                       0xDCu, 0xFFu})
        for (std::size_t at = 0; at < 24; ++at) {
            std::string text(24, 'a');
            text[at] = static_cast<char>(c);
            std::string want =
                text.substr(0, at) + tsvOf(static_cast<unsigned char>(c)) + text.substr(at + 1);
            std::string got;
            AppendTsvField(got, text);
            EXPECT_EQ(got, want) << std::hex << c << " at " << at;
            std::string json;
            AppendJsonString(json, text);
            const bool escaped = c < 0x20 || c == 0x7F || c == '"' || c == '\\';
            EXPECT_EQ(
                json.size(),
                2 + 24 + (escaped ? (c == '"' || c == '\\' || c == '\t' || c == '\n' ? 1 : 5) : 0))
                << std::hex << c << " at " << at;
        }
}

// The progress line's figures: by files alone, or by bytes with the time left
// once a few seconds have been timed (none before, none at the end).
TEST(Format, ProgressByFilesAndByBytes) {
    using std::chrono::milliseconds;
    struct Case {
        ProgressCounts counts;
        milliseconds elapsed;
        const char* text;
    };
    constexpr std::uint64_t kGiB = 1ull << 30;
    const Case cases[] = {
        {{1234, 2742, 0, 0}, milliseconds(60000), " 45%  1234/2742"},
        {{0, 0, 0, 0}, milliseconds(0), "100%  0/0"},
        // One file of 1.5 GiB: the bytes move the bar while the count stays.
        {{0, 1, 0, kGiB * 3 / 2}, milliseconds(0), "  0%  0/1  0 B/1.5 GiB"},
        {{0, 1, kGiB / 2, kGiB * 3 / 2}, milliseconds(2999), " 33%  0/1  512.0 MiB/1.5 GiB"},
        {{0, 1, kGiB / 2, kGiB * 3 / 2},
         milliseconds(3000),
         " 33%  0/1  512.0 MiB/1.5 GiB  0:06 left"},
        {{1, 4, 1000, 1000000}, milliseconds(4000), "  0%  1/4  1000 B/976.6 KiB  1:06:36 left"},
        {{4, 4, kGiB * 3 / 2, kGiB * 3 / 2}, milliseconds(90000), "100%  4/4  1.5 GiB/1.5 GiB"},
        // Counts past the totals are shown as the totals.
        {{5, 4, 2 * kGiB, kGiB}, milliseconds(90000), "100%  4/4  1.0 GiB/1.0 GiB"},
        {{0, 2, 1023 * 1024 + 1000, kGiB}, milliseconds(0), "  0%  0/2  1.0 MiB/1.0 GiB"},
    };
    for (const Case& c : cases) EXPECT_EQ(ProgressFigures(c.counts, c.elapsed), c.text) << c.text;
}

}  // namespace
}  // namespace qm::cli
