#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "tests/carve/CarveSupport.h"
#include "tests/support/CarveBuilders.h"

namespace qm::deep::test {
namespace {

Bytes Text(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out;
    static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n"};
    while (out.size() < n)
        for (const char* c = words[rng() % 4]; *c; ++c)
            out.push_back(static_cast<std::uint8_t>(*c));
    out.resize(n);
    return out;
}

Bytes Noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

using qm::test::NamedBytes;

struct Case {
    const char* what;
    std::function<Bytes()> bytes;
    const char* carver;
    const char* type;
    const char* name;
    // A byte whose change the checks must notice (negative: from the end).
    long flip;
    // The length of an earlier revision that is whole by itself.
    std::size_t earlier = 0;
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> samples = {
        {"zip", [] { return Sample("sample.zip"); }, "zip", "zip", "", 9000},
        {"zip64", [] { return Sample("zip64.zip"); }, "zip", "zip", "", 3000},
        {"zip with a data descriptor", [] { return Sample("streamed.zip"); }, "zip", "zip", "",
         300},
        {"docx", [] { return Sample("sample.docx"); }, "zip", "docx", "Minutes of the & meeting",
         900},
        {"xlsx", [] { return Sample("sample.xlsx"); }, "zip", "xlsx", "Budget 2024", 900},
        {"pptx", [] { return Sample("sample.pptx"); }, "zip", "pptx", "Slides_ Q1_Q2", 900},
        {"gzip of two members", [] { return Sample("sample.gz"); }, "gzip", "gz", "notes.txt",
         4000},
        {"pdf", [] { return Sample("plain.pdf"); }, "pdf", "pdf", "Annual (draft) report", -8},
        {"pdf with an update", [] { return Sample("updated.pdf"); }, "pdf", "pdf", "Updated", -8,
         695},
        {"linearized pdf", [] { return Sample("linearized.pdf"); }, "pdf", "pdf",
         "Annual (draft) report", -8},
        {"pdf with an xref stream", [] { return Sample("objstream.pdf"); }, "pdf", "pdf", "", -8},
        {"sqlite", [] { return Sample("sample.sqlite"); }, "sqlite", "sqlite", "", 100},
        {"7z", [] { return Sample("sample.7z"); }, "7z", "7z", "", -5},
        {"exe", [] { return Sample("tiny.exe"); }, "pe", "exe", "", 2000},
        {"dll", [] { return Sample("tiny.dll"); }, "pe", "dll", "", 2000},
        {"exe with a certificate table", [] { return Sample("signed.exe"); }, "pe", "exe", "", -3},
        {"rar 4",
         [] {
             return qm::test::Rar4Stored({{"a.txt", Text(3000, 1)}, {"b.bin", Noise(700, 2)}});
         },
         "rar", "rar", "", 1500},
        {"rar 5",
         [] {
             return qm::test::Rar5Stored({{"a.txt", Text(3000, 1)}, {"b.bin", Noise(700, 2)}});
         },
         "rar", "rar", "", 1500},
        {"doc",
         [] {
             return qm::test::CompoundFile(
                 {{"WordDocument", Text(6000, 3)}, {"1Table", Text(900, 4)}},
                 "Letter to the board");
         },
         "ole", "doc", "Letter to the board", 512},
        {"xls",
         [] {
             return qm::test::CompoundFile({{"Workbook", Text(5000, 5)}});
         },
         "ole", "xls", "", 512},
        {"ppt",
         [] {
             return qm::test::CompoundFile({{"PowerPoint Document", Text(300, 6)}}, "Deck");
         },
         "ole", "ppt", "Deck", 512},
        {"msg",
         [] {
             return qm::test::CompoundFile({{"__substg1.0_0037001F", Text(80, 7)}});
         },
         "ole", "msg", "", 512},
    };
    return samples;
}

class Formats : public ::testing::TestWithParam<Case> {};

// Each sample is recognised from its first bytes and found whole, with its
// own length, type and name, whatever follows it.
TEST_P(Formats, WholeWithItsOwnLength) {
    const Case& s = GetParam();
    const Bytes file = s.bytes();
    ASSERT_FALSE(file.empty());
    const Carver* c = CarverNamed(s.carver);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->Starts(ByteView(file.data(), std::min<std::size_t>(file.size(), 4096))));
    for (const Bytes& after : {Bytes{}, Bytes(4096, 0), Noise(8192, 9)}) {
        Bytes in = file;
        in.insert(in.end(), after.begin(), after.end());
        const CarveResult r = CarveBytes(*c, in);
        EXPECT_EQ(r.validation, Validation::Whole) << after.size();
        EXPECT_EQ(r.length, file.size()) << after.size();
        EXPECT_EQ(r.type, s.type);
        EXPECT_EQ(r.name, s.name);
    }
}

// A file cut short, or with one byte changed where the format checks it, is
// not reported whole at its length.
TEST_P(Formats, DamageIsNoticed) {
    const Case& s = GetParam();
    const Bytes file = s.bytes();
    const Carver* c = CarverNamed(s.carver);
    ASSERT_NE(c, nullptr);
    for (std::size_t cut : {file.size() / 2, file.size() - 2}) {
        const Bytes part(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut));
        // A PDF cut in its last update is its earlier revision, whole.
        const CarveResult r = CarveBytes(*c, part);
        const bool earlier = s.earlier && cut >= s.earlier;
        EXPECT_EQ(r.validation == Validation::Whole, earlier) << cut;
        EXPECT_EQ(r.length, earlier ? s.earlier : r.length) << cut;
        EXPECT_LE(r.length, cut);
    }
    Bytes changed = file;
    const std::size_t at = s.flip < 0 ? file.size() - static_cast<std::size_t>(-s.flip)
                                      : static_cast<std::size_t>(s.flip);
    ASSERT_LT(at, file.size());
    changed[at] ^= 0x01;
    const CarveResult r = CarveBytes(*c, changed);
    EXPECT_FALSE(r.validation == Validation::Whole && r.length == file.size()) << at;
}

INSTANTIATE_TEST_SUITE_P(Carve, Formats, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string n = info.param.what;
                             for (char& ch : n)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

// A file missing a piece in its middle (the next cluster belonged to another
// file) is partial: what checks out ends before the gap, and the fault shows
// at or after it, which is where gap carving starts looking.
TEST(Carve, BreakPointsBracketAMissingPiece) {
    const struct {
        const char* what;
        Bytes file;
        const char* carver;
        std::size_t gapAt;
    } cases[] = {
        {"zip", Sample("sample.zip"), "zip", 8192},
        {"gzip", Sample("sample.gz"), "gzip", 4096},
        {"pdf", Sample("plain.pdf"), "pdf", 128},
        {"rar 5", qm::test::Rar5Stored({{"a.txt", Text(9000, 1)}}), "rar", 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GT(c.file.size(), c.gapAt + 256);
        Bytes joined(c.file.begin(), c.file.begin() + static_cast<std::ptrdiff_t>(c.gapAt));
        joined.insert(joined.end(), c.file.begin() + static_cast<std::ptrdiff_t>(c.gapAt + 128),
                      c.file.end());
        const CarveResult r = CarveBytes(*CarverNamed(c.carver), joined);
        EXPECT_EQ(r.validation, Validation::Partial);
        EXPECT_LE(r.length, c.gapAt);
        EXPECT_GE(r.failedAt, c.gapAt);
    }
}

}  // namespace
}  // namespace qm::deep::test
