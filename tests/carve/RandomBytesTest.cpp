#include <gtest/gtest.h>

#include <random>

#include "tests/carve/CarveSupport.h"

namespace qm::deep::test {
namespace {

Bytes Noise(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    Bytes out(n);
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        const std::uint64_t v = rng();
        for (int k = 0; k < 8; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    return out;
}

// Random bytes are never a whole file: every carver is asked at every
// 512-byte boundary of 4 MiB, whatever its first look says.
TEST(RandomBytes, NeverWhole) {
    const Bytes noise = Noise(4u << 20, 20);
    std::size_t starts = 0;
    std::vector<const Carver*> found;
    for (std::size_t at = 0; at < noise.size(); at += 512) {
        const ByteView rest(noise.data() + at, noise.size() - at);
        CarversStartingAt(rest.SubClamped(0, 4096), found);
        starts += found.size();
        for (const Carver* c : AllCarvers()) {
            MemoryInput in(rest);
            EXPECT_NE(c->Carve(in).validation, Validation::Whole) << c->Name() << " at " << at;
        }
    }
    EXPECT_EQ(starts, 0u);
}

// Nor are random bytes behind a real file's header: the structure that the
// header points into does not check out. (A PE file's sections hold nothing
// checkable; it is left out unless it carries a checksum.)
TEST(RandomBytes, BehindARealHeaderNotWhole) {
    const struct {
        const char* file;
        const char* carver;
        std::size_t keep;
    } cases[] = {
        {"sample.zip", "zip", 64}, {"sample.docx", "zip", 64},    {"sample.gz", "gzip", 64},
        {"plain.pdf", "pdf", 200}, {"objstream.pdf", "pdf", 200}, {"sample.sqlite", "sqlite", 100},
        {"sample.7z", "7z", 32},   {"tiny.exe", "pe", 1024},      {"signed.exe", "pe", 1024},
    };
    for (const auto& c : cases) {
        for (unsigned seed = 0; seed < 8; ++seed) {
            Bytes in = Noise(1u << 20, seed);
            const Bytes file = Sample(c.file);
            ASSERT_GE(file.size(), c.keep) << c.file;
            std::copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(c.keep), in.begin());
            const CarveResult r = CarveBytes(*CarverNamed(c.carver), in);
            EXPECT_NE(r.validation, Validation::Whole) << c.file << " seed " << seed;
        }
    }
}

}  // namespace
}  // namespace qm::deep::test
