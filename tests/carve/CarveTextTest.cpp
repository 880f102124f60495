#include <gtest/gtest.h>

#include "deep/carve/CarveText.h"

namespace qm::deep {
namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(CarveText, FileNames) {
    const std::pair<std::string, std::string> cases[] = {
        {"Annual report", "Annual report"},
        {"  Slides:\tQ1/Q2 \r\n", "Slides_ Q1_Q2"},
        {"a\\b*c?d\"e<f>g|h", "a_b_c_d_e_f_g_h"},
        {"ends with dots...", "ends with dots"},
        {"bad \xFF\xFE utf-8", "bad utf-8"},
        {"overlong \xC0\xAF slash", "overlong slash"},
        {"\x01\x02", ""},
        {"Бюджет 2024", "Бюджет 2024"},
        {std::string(150, 'x'), std::string(100, 'x')},
        // Cut between characters: 51 two-byte letters are 102 bytes.
        {Repeat("é", 51), Repeat("é", 50)},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(FileNameFrom(in), want) << in;
}

TEST(CarveText, Encodings) {
    EXPECT_EQ(Latin1ToUtf8("caf\xE9 \x80"), "café €");
    EXPECT_EQ(Utf16ToUtf8(std::string("\x00"
                                      "A\xD8\x3D\xDE\x00",
                                      6),
                          true),
              "A😀");
    EXPECT_EQ(Utf16ToUtf8(std::string("A\x00\x3D\xD8", 4), false), "A\xEF\xBF\xBD");
    EXPECT_EQ(FiletimeFromUnix(0), 116444736000000000ull);
}

}  // namespace
}  // namespace qm::deep
