// The harness of the malformed-volume tests: a small volume of good deleted
// files around the damaged records under test, written to an image file,
// scanned and recovered whole through the real file backend into a real
// folder, the way a user would run it on an image from a stranger.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/RawVolume.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"
#include "tests/support/RecordBuilder.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::malformed {

using test::Bytes;
using test::RecordBuilder;
using test::RunListBuilder;
using test::VolumeBuilder;

struct Outcome {
    ScanSummary scan;
    std::vector<ScanRow> rows;
    std::map<std::uint64_t, RecoverResult> recovered;  // by record number
    std::map<std::uint64_t, Bytes> files;              // output files, by record number
    std::set<std::string> strays;                      // anything else in the output folder
    bool imageUnchanged = false;

    const ScanRow* Row(std::uint64_t record) const;
    // Not listed, or listed and given up on without an output file.
    ::testing::AssertionResult SkippedOrAbandoned(std::uint64_t record) const;
    // Listed and recovered with exactly `content`: Written, or with `damage`
    // Damaged with exactly those unreadable ranges.
    ::testing::AssertionResult Recovered(std::uint64_t record, const Bytes& content,
                                         const std::vector<ByteRange>& damage = {}) const;
};

class Corpus {
public:
    // 512-byte sectors, 4 KiB clusters, 1 KiB records, 64 records at cluster 4.
    // Good deleted files sit at records 16, 31 (two runs) and 63.
    Corpus();

    VolumeBuilder& volume() { return v_; }
    // A deleted file's record with $STANDARD_INFORMATION and $FILE_NAME, to
    // which the test adds its $DATA and its damage.
    RecordBuilder File(std::uint32_t record, std::u16string name = u"bad.bin") const;
    Corpus& Put(std::uint32_t record, const RecordBuilder& b);
    Corpus& Put(std::uint32_t record, Bytes raw);

    // Scans and recovers the built volume, or `image` when given. `wrap` may
    // put a fault-injecting volume around the opened image file.
    using Wrap = std::function<std::shared_ptr<RawVolume>(std::shared_ptr<RawVolume>)>;
    Outcome Run(const Wrap& wrap = nullptr, ScanOptions options = {}) const;
    Outcome Run(const Bytes& image, const Wrap& wrap = nullptr, ScanOptions options = {}) const;

    // The good files are all listed and recovered byte for byte, the image is
    // unchanged, and the output folder holds nothing but whole output files.
    ::testing::AssertionResult GoodFilesIntact(const Outcome& o) const;

    static constexpr std::uint32_t kGood[] = {16, 31, 63};

private:
    struct Good {
        std::uint32_t record;
        std::u16string name;
        Bytes content;
    };
    VolumeBuilder v_;
    std::vector<Good> good_;
};

// A pattern that tells every byte of a cluster apart.
Bytes Pattern(std::size_t n, std::uint8_t seed);

}  // namespace qm::malformed
