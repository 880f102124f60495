// Every test volume copied into the containers examiners keep disks in (EWF,
// split EWF, VHD, VHDX, VMDK, QCOW2, split raw with numbered and lettered
// parts), made by the formats' own tools: the scan lists the same rows and
// every row recovers to the same bytes as from the raw image.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <tuple>

#include "ntfs/Sources.h"
#include "platform/images/ImageVolume.h"
#include "recover/RecoverRecord.h"
#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

struct Format {
    const char* name;
    const char* tool;     // the command that must be there
    ImageFormat library;  // what the build must read (Raw: nothing)
    // The shell command that makes the container from RAW into DIR, and the file to open.
    const char* make;
    const char* open;
};

const Format kFormats[] = {
    {"e01", "ewfacquire", ImageFormat::Ewf, "ewfacquire -u -q -c deflate:fast -t DIR/c RAW",
     "DIR/c.E01"},
    {"e01_split", "ewfacquire", ImageFormat::Ewf,
     "ewfacquire -u -q -c empty-block -S 1048576 -t DIR/c RAW", "DIR/c.E01"},
    {"vhd", "qemu-img", ImageFormat::Vhd,
     "qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on RAW DIR/c.vhd",
     "DIR/c.vhd"},
    {"vhd_fixed", "qemu-img", ImageFormat::Vhd,
     "qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on RAW DIR/c.vhd",
     "DIR/c.vhd"},
    {"vhdx", "qemu-img", ImageFormat::Vhdx, "qemu-img convert -q -f raw -O vhdx RAW DIR/c.vhdx",
     "DIR/c.vhdx"},
    {"vmdk", "qemu-img", ImageFormat::Vmdk, "qemu-img convert -q -f raw -O vmdk RAW DIR/c.vmdk",
     "DIR/c.vmdk"},
    {"qcow2", "qemu-img", ImageFormat::Qcow, "qemu-img convert -q -f raw -O qcow2 RAW DIR/c.qcow2",
     "DIR/c.qcow2"},
    // Parts of a size that is no multiple of a sector, so records and clusters straddle them.
    {"split_numbered", "split", ImageFormat::Raw,
     "split -b 999999 -d -a 3 --numeric-suffixes=1 RAW DIR/c.", "DIR/c.001"},
    {"split_lettered", "split", ImageFormat::Raw, "split -b 1234567 RAW DIR/c.", "DIR/c.aa"},
};

void PrintTo(const Format& format, std::ostream* os) {
    *os << format.name;
}

// Every test volume but the 3 GiB one of LargeFileTest (its split parts would be written out
// whole) and content-live (content before its deletions).
const char* const kVolumes[] = {"c512",
                                "c4096",
                                "c65536",
                                "c2m",
                                "rec4096",
                                "demo",
                                "fragmented-mft",
                                "content",
                                "compressed-c512",
                                "compressed-c2048",
                                "testfs1",
                                "file_4k",
                                "ntfs3_attrlist"};

bool IsReference(const std::string& volume) {
    return volume == "testfs1" || volume == "file_4k" || volume == "ntfs3_attrlist";
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// One row and what recovering it gave.
struct Outcome {
    std::uint64_t position, record, size, created, modified;
    std::string name;
    RecoverStatus status;
    std::string md5;
    std::uint64_t bytes;
    bool operator==(const Outcome&) const = default;
};

std::vector<Outcome> ScanAndRecover(RawVolume& volume) {
    const ScanResult scan = ScanVolume(volume);
    if (scan.summary.setup.stop != SetupStop::None)
        throw std::runtime_error(volume.Name() + ": " + scan.summary.setup.reason);
    if (scan.summary.unreadable != 0)
        throw std::runtime_error(volume.Name() + ": unreadable records");
    HashingOutputFactory sink;
    std::vector<Outcome> outcomes;
    for (std::size_t i = 0; i < scan.rows.size(); ++i) {
        const ScanRow& row = scan.rows[i];
        const std::string path = "/out/" + std::to_string(i);
        const RecoverResult r =
            RecoverRecord(volume, PositionText(row.position), scan.Info().geometry, path, sink);
        const auto done = sink.committed.find(path);
        outcomes.push_back({row.position, row.record, row.size, row.created, row.modified,
                            Utf8(row.name), r.status,
                            done == sink.committed.end() ? "" : done->second.md5, r.bytes});
    }
    return outcomes;
}

class Container : public ::testing::TestWithParam<std::tuple<const char*, Format>> {
protected:
    // The raw image of `volume`, unpacked into `dir` when it is reference data.
    static fs::path RawImage(const std::string& volume, const fs::path& dir) {
        if (IsReference(volume))
            return Gunzip(TestdataDir() / "volumes" / (volume + ".img.gz"), dir);
        return ImageDir() / (volume + ".img");
    }

    // The raw image's rows and contents, worked out once per volume.
    static const std::vector<Outcome>& Expected(const std::string& volume, const fs::path& raw) {
        static std::mutex lock;
        static std::map<std::string, std::vector<Outcome>> cache;
        std::lock_guard<std::mutex> hold(lock);
        auto it = cache.find(volume);
        if (it != cache.end()) return it->second;
        auto opened = OpenRawVolume(raw.string());
        if (!opened) throw std::runtime_error(opened.error().ToString());
        return cache[volume] = ScanAndRecover(**opened);
    }
};

TEST_P(Container, ScansAndRecoversExactlyAsTheRawImage) {
    const std::string volume = std::get<0>(GetParam());
    const Format& format = std::get<1>(GetParam());
    if (!HaveCommand(format.tool)) GTEST_SKIP() << format.tool << " is not installed";
    if (format.library != ImageFormat::Raw) {
        const auto built = SupportedContainerFormats();
        if (std::find(built.begin(), built.end(), format.library) == built.end())
            GTEST_SKIP() << "this build reads no " << ImageFormatName(format.library) << " images";
    }
    TempDir dir(volume + "-" + format.name);
    const fs::path raw = RawImage(volume, dir.path());
    if (!fs::exists(raw)) GTEST_SKIP() << raw << " was not made (qm-mkvolume is not built)";

    const std::string make = Replace(Replace(format.make, "RAW", ShellQuote(raw.string())), "DIR",
                                     ShellQuote(dir.path().string()));
    ASSERT_TRUE(RunCapture(make + " </dev/null").has_value()) << make;
    const std::string container = Replace(format.open, "DIR", dir.path().string());
    const std::string before = FileMd5(container);

    auto opened = OpenRawVolume(container);
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    const std::vector<Outcome>& want = Expected(volume, raw);
    ASSERT_FALSE(want.empty() && volume.rfind("c", 0) == 0) << "the volume lists no deleted file";
    const std::vector<Outcome> got = ScanAndRecover(**opened);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << want[i].name;
    opened->reset();
    EXPECT_EQ(FileMd5(container), before) << "the container was written to";
}

INSTANTIATE_TEST_SUITE_P(EveryVolume, Container,
                         ::testing::Combine(::testing::ValuesIn(kVolumes),
                                            ::testing::ValuesIn(kFormats)),
                         [](const auto& info) {
                             std::string name = std::string(std::get<0>(info.param)) + "_" +
                                                std::get<1>(info.param).name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A split EWF set is read through all its segments, and the split raw parts
// as one image: a disk image split so holds its partitions too.
TEST(ContainerSet, SplitEwfHasSeveralSegmentsAndReadsThemAll) {
    if (!HaveCommand("ewfacquire")) GTEST_SKIP() << "ewfacquire is not installed";
    const auto built = SupportedContainerFormats();
    if (std::find(built.begin(), built.end(), ImageFormat::Ewf) == built.end())
        GTEST_SKIP() << "this build reads no EWF images";
    TempDir dir("ewf-split");
    const fs::path raw = Gunzip(TestdataDir() / "volumes" / "testfs1.img.gz", dir.path());
    ASSERT_TRUE(RunCapture("ewfacquire -u -q -c none -S 1048576 -t " +
                           ShellQuote((dir.path() / "s").string()) + " " +
                           ShellQuote(raw.string()) + " </dev/null")
                    .has_value());
    ASSERT_TRUE(fs::exists(dir.path() / "s.E02"));
    auto opened = OpenRawVolume((dir.path() / "s.E01").string());
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    EXPECT_EQ((*opened)->Size(), fs::file_size(raw));
    std::vector<std::uint8_t> tail(4096), want(4096);
    EXPECT_EQ((*opened)->ReadAt(fs::file_size(raw) - 4096, tail), 4096u);
    auto rawVolume = OpenRawVolume(raw.string());
    ASSERT_TRUE(rawVolume.ok());
    (*rawVolume)->ReadAt(fs::file_size(raw) - 4096, want);
    EXPECT_EQ(tail, want);
    // A segment missing from the set, in the middle or at the end: refused when
    // opened (the library would hand out zeros for the chunks it lacks).
    for (const char* missing : {"s.E03", "s.E02"}) {
        fs::remove(dir.path() / missing);
        auto broken = OpenRawVolume((dir.path() / "s.E01").string());
        ASSERT_FALSE(broken.ok()) << missing;
        EXPECT_NE(broken.error().message.find("incomplete or damaged"), std::string::npos)
            << broken.error().message;
    }
}

// A chunk whose bytes no longer match its checksum is a read error: the bytes
// before it arrive, it does not come back as zeros or as damaged data.
TEST(ContainerSet, AnEwfChunkFailingItsChecksumIsAReadError) {
    if (!HaveCommand("ewfacquire")) GTEST_SKIP() << "ewfacquire is not installed";
    const auto built = SupportedContainerFormats();
    if (std::find(built.begin(), built.end(), ImageFormat::Ewf) == built.end())
        GTEST_SKIP() << "this build reads no EWF images";
    TempDir dir("ewf-bad");
    const fs::path raw = Gunzip(TestdataDir() / "volumes" / "testfs1.img.gz", dir.path());
    ASSERT_TRUE(RunCapture("ewfacquire -u -q -c none -t " +
                           ShellQuote((dir.path() / "b").string()) + " " +
                           ShellQuote(raw.string()) + " </dev/null")
                    .has_value());
    const fs::path e01 = dir.path() / "b.E01";
    {
        std::fstream f(e01, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(fs::file_size(e01) / 2));
        const std::string junk(16, 'Z');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    auto opened = OpenRawVolume(e01.string());
    ASSERT_TRUE(opened.ok()) << opened.error().ToString();
    auto rawVolume = OpenRawVolume(raw.string());
    ASSERT_TRUE(rawVolume.ok());
    const std::size_t size = static_cast<std::size_t>(fs::file_size(raw));
    std::vector<std::uint8_t> got(size), want(size);
    const std::size_t delivered = (*opened)->ReadAt(0, got);
    (*rawVolume)->ReadAt(0, want);
    EXPECT_LT(delivered, size);
    EXPECT_GT(delivered, 0u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + delivered, want.begin()));
    EXPECT_GT(static_cast<ContainerVolume&>(**opened).ReadErrors(), 0u);
    // Past the bad chunk the rest reads again.
    std::vector<std::uint8_t> tail(4096);
    EXPECT_EQ((*opened)->ReadAt(size - 4096, tail), 4096u);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), want.end() - 4096));
}

// A whole disk in a container: its partitions are listed, and IMAGE@OFFSET
// reads one through the container.
TEST(ContainerSet, AWholeDiskInAContainerListsAndReadsItsPartition) {
    if (!HaveCommand("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    const auto built = SupportedContainerFormats();
    if (std::find(built.begin(), built.end(), ImageFormat::Qcow) == built.end())
        GTEST_SKIP() << "this build reads no QCOW images";
    TempDir dir("gpt-qcow");
    Untar(TestdataDir() / "volumes" / "gpt_disk.tar.gz", dir.path());
    const fs::path raw = dir.path() / "vss_1_vol.raw", qcow = dir.path() / "disk.qcow2";
    ASSERT_TRUE(RunCapture("qemu-img convert -q -f raw -O qcow2 " + ShellQuote(raw.string()) + " " +
                           ShellQuote(qcow.string()) + " </dev/null")
                    .has_value());
    const auto sources = ExpandImage(qcow.string());
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].source, qcow.string() + "@34603008");
    EXPECT_EQ(sources[0].partition, 2u);
    EXPECT_EQ(sources[0].label, "1");
    auto inContainer = OpenRawVolume(sources[0].source);
    auto inRaw = OpenRawVolume(raw.string() + "@34603008");
    ASSERT_TRUE(inContainer.ok() && inRaw.ok());
    const auto got = ScanAndRecover(**inContainer);
    EXPECT_EQ(got.size(), 1u);
    EXPECT_EQ(got, ScanAndRecover(**inRaw));
}

}  // namespace
}  // namespace qm::itest
