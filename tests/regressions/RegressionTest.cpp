// Replays every saved fuzz finding through its target's entry point. A fault
// that comes back ends the test process, as it ended the fuzzer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/FuzzEntries.h"

namespace qm::fuzz {
namespace {

namespace fs = std::filesystem;

struct Input {
    std::string target;
    fs::path path;
};

// How ctest and failure messages name an input.
void PrintTo(const Input& in, std::ostream* os) {
    *os << in.target << "/" << in.path.filename().string();
}

std::vector<Input> Inputs(bool open) {
    std::vector<Input> out;
    for (const char* target : {"record", "runlist", "boot", "image", "lznt1", "inflate", "carve"}) {
        fs::path dir = fs::path(QM_REGRESSIONS) / target;
        if (open) dir /= "open";
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.')
                out.push_back({target, e.path()});
    }
    std::sort(out.begin(), out.end(),
              [](const Input& a, const Input& b) { return a.path < b.path; });
    return out;
}

std::string Name(const ::testing::TestParamInfo<Input>& info) {
    std::string name = info.param.target + "_" + info.param.path.filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

void Replay(const Input& in) {
    std::ifstream f(in.path, std::ios::binary);
    ASSERT_TRUE(f) << in.path;
    const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(f), {});
    TolerateOpenFaults(false);
    if (in.target == "record") FuzzRecord(bytes.data(), bytes.size());
    if (in.target == "runlist") FuzzRunList(bytes.data(), bytes.size());
    if (in.target == "boot") FuzzBoot(bytes.data(), bytes.size());
    if (in.target == "image") FuzzImage(bytes.data(), bytes.size());
    if (in.target == "lznt1") FuzzLznt1(bytes.data(), bytes.size());
    if (in.target == "inflate") FuzzInflate(bytes.data(), bytes.size());
    if (in.target == "carve") FuzzCarve(bytes.data(), bytes.size());
}

class Fixed : public ::testing::TestWithParam<Input> {};
class Open : public ::testing::TestWithParam<Input> {};

TEST_P(Fixed, Survives) {
    Replay(GetParam());
}
TEST_P(Open, DISABLED_Survives) {
    Replay(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Regression, Fixed, ::testing::ValuesIn(Inputs(false)), Name);
INSTANTIATE_TEST_SUITE_P(Regression, Open, ::testing::ValuesIn(Inputs(true)), Name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Fixed);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Open);

}  // namespace
}  // namespace qm::fuzz
