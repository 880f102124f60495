// quillmere-cli run as a program on small crafted volumes, on disk images that
// hold them as partitions, and on the reference GPT disk.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "tests/cli/CliHarness.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr std::uint64_t kT = 127225584294520000;  // 2004-02-29T20:00:29.452Z
const Bytes kBig = [] {
    Bytes b(10000);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return b;
}();

// Records 16 to 20: two resident files (one with a name that needs escaping and
// a modification time no calendar shows), one in use, one of three clusters, one
// whose run list cannot be decoded. The MFT's 64 records lie in three fragments:
// records 0..31 from cluster 4 (byte 16384), 32..47 at cluster 40, 48..63 at 20.
Bytes MakeVolume() {
    VolumeBuilder vb;
    vb.MftRuns({{4, 8}, {40, 4}, {20, 4}});
    vb.Record(16, vb.NewRecord(16)
                      .StandardInformation(kT, kT + 10000)
                      .FileName(u"plain.txt")
                      .ResidentData(BytesOf("hello"))
                      .Build());
    vb.Record(17, vb.NewRecord(17)
                      .StandardInformation(kT, ~0ull)
                      .FileName(u"q\"b\\s\tt\n\u20AC.x")
                      .ResidentData(BytesOf("weird"))
                      .Build());
    vb.Record(18, vb.NewRecord(18)
                      .Flags(1)
                      .StandardInformation(kT, kT)
                      .FileName(u"live.txt")
                      .ResidentData(BytesOf("live"))
                      .Build());
    vb.Data(30, kBig);
    vb.Record(19, vb.NewRecord(19)
                      .StandardInformation(kT, kT)
                      .FileName(u"big.bin")
                      .NonResidentData(RunListBuilder().Run(3, 30).Build(), 10000, 10000, 0, 2)
                      .Build());
    vb.Record(
        20, vb.NewRecord(20)
                .StandardInformation(kT, kT)
                .FileName(u"broken.dat")
                .NonResidentData(RunListBuilder().Raw({0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}).Build(),
                                 4096, 4096)
                .Build());
    return vb.Build();
}

// The seven columns every script reads first, then path, recoverable and flags.
// The volume's $Bitmap is empty: the non-resident files' recoverability is unknown.
const std::string kTsv =
    "position\trecord\tname\ttype\tsize\tcreated\tmodified\tpath\trecoverable\tflags\tsource\n"
    "0x8000\t16\tplain.txt\t.txt\t5\t2004-02-29T20:00:29.452Z\t2004-02-29T20:00:29.453Z"
    "\t/plain.txt\t100\tresident\tmft\n"
    "0x8400\t17\tq\"b\\\\s\\tt\\n\u20AC.x\t.x\t5\t2004-02-29T20:00:29.452Z\t"
    "\t/q\"b\\\\s\\tt\\n\u20AC.x\t100\tresident\tmft\n"
    "0x8C00\t19\tbig.bin\t.bin\t10000\t2004-02-29T20:00:29.452Z\t2004-02-29T20:00:29.452Z"
    "\t/big.bin\t\t\tmft\n"
    "0x9000\t20\tbroken.dat\t.dat\t4096\t2004-02-29T20:00:29.452Z\t2004-02-29T20:00:29.452Z"
    "\t/broken.dat\t\t\tmft\n";

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeScratchFolder("qmcli");
        volume_ = MakeVolume();
        image_ = (dir_ / "vol.img").string();
        Spit(image_, volume_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome Cmd(std::vector<std::string> args) { return RunProgram(dir_, std::move(args)); }

    // A disk image with the volume as a primary partition at each LBA given.
    std::string Disk(const std::string& name, std::vector<std::uint32_t> lbas) {
        Bytes disk((lbas.back() + 1) * 512 + volume_.size());
        for (std::size_t i = 0; i < lbas.size(); ++i) {
            PutLe(disk, 446 + 16 * i + 4, 0x07, 1);
            PutLe(disk, 446 + 16 * i + 8, lbas[i], 4);
            PutLe(disk, 446 + 16 * i + 12, volume_.size() / 512, 4);
            std::copy(volume_.begin(), volume_.end(), disk.begin() + lbas[i] * 512);
        }
        PutLe(disk, 510, 0xAA55, 2);
        Spit(dir_ / name, disk);
        return (dir_ / name).string();
    }

    fs::path dir_;
    Bytes volume_;
    std::string image_;
};

TEST_F(Cli, UsageAndSourcesThatCannotBeScanned) {
    for (auto args : std::vector<std::vector<std::string>>{
             {},
             {"frob"},
             {"scan"},
             {"scan", "a", "b"},
             {"scan", "a", "--xml"},
             {"recover", image_, "--all"},
             {"recover", image_, "--out", "d"},
             {"recover", image_, "--out", "d", "--all", "0x8000"},
             {"recover", image_, "--out", "d", "8000"},
             {"recover", image_, "--out", "d", "--all", "--jobs"},
             {"recover", image_, "--out", "d", "--all", "--jobs", "0"},
             {"recover", image_, "--out", "d", "--all", "--jobs=17"},
             {"recover", image_, "--out", "d", "--all", "--jobs", "2x"}}) {
        Outcome r = Cmd(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_THAT(r.err, HasSubstr("usage: quillmere-cli"));
        EXPECT_EQ(r.out, "");
    }
    Outcome help = Cmd({"recover", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("--allow-same-volume"));

    Outcome missing = Cmd({"scan", (dir_ / "nope.img").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              "quillmere-cli: " + (dir_ / "nope.img").string() + ": no such file or device\n");
    Spit(dir_ / "zeros.img", Bytes(1 << 16));
    Outcome zeros =
        Cmd({"recover", (dir_ / "zeros.img").string(), "--out", (dir_ / "o").string(), "--all"});
    EXPECT_EQ(zeros.status, 1);
    EXPECT_THAT(zeros.err, HasSubstr("zeros.img: not an NTFS volume"));
    EXPECT_FALSE(fs::exists(dir_ / "o"));  // made for the run, removed when the source fails
    Bytes linux(1 << 20);
    PutLe(linux, 446 + 4, 0x83, 1);
    PutLe(linux, 446 + 8, 100, 4);
    PutLe(linux, 446 + 12, 100, 4);
    PutLe(linux, 510, 0xAA55, 2);
    Spit(dir_ / "linux.img", linux);
    Outcome other = Cmd({"scan", (dir_ / "linux.img").string()});
    EXPECT_EQ(other.status, 1);
    EXPECT_THAT(
        other.err,
        HasSubstr(
            "linux.img: not an NTFS volume, and its partition table lists no NTFS partition"));
}

TEST_F(Cli, ScanAsTsvAndJson) {
    Outcome tsv = Cmd({"scan", image_});
    EXPECT_EQ(tsv.status, 0);
    EXPECT_EQ(tsv.out, kTsv);
    EXPECT_EQ(tsv.err, "");

    Outcome json = Cmd({"scan", "--json", image_});
    EXPECT_EQ(json.status, 0);
    std::istringstream lines(json.out);
    std::string first, second;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_EQ(first,
              R"({"position":"0x8000","record":16,"name":"plain.txt","type":".txt","size":5,)"
              R"("created":"2004-02-29T20:00:29.452Z","modified":"2004-02-29T20:00:29.453Z",)"
              R"("path":"/plain.txt","recoverable":100,"flags":"resident","kind":"file",)"
              R"("source":"mft"})");
    EXPECT_EQ(
        second,
        "{\"position\":\"0x8400\",\"record\":17,\"name\":\"q\\\"b\\\\s\\tt\\n\u20AC.x\","
        "\"type\":\".x\",\"size\":5,\"created\":\"2004-02-29T20:00:29.452Z\",\"modified\":null,"
        "\"path\":\"/q\\\"b\\\\s\\tt\\n\u20AC.x\",\"recoverable\":100,\"flags\":\"resident\","
        "\"kind\":\"file\",\"source\":\"mft\"}");
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 4);
}

TEST_F(Cli, VolumeCutShortInItsMftCountsTheRecordsNotRead) {
    Spit(image_, Bytes(volume_.begin(), volume_.begin() + 40 * 4096));  // records 32..47 gone
    Outcome r = Cmd({"scan", image_});
    EXPECT_EQ(r.status, 3);  // a partial listing
    EXPECT_EQ(r.out, kTsv);
    EXPECT_EQ(r.err, "quillmere-cli: " + image_ + ": 16 records could not be read\n");
}

TEST_F(Cli, DiskImagesScanTheirOnlyPartitionOrListThem) {
    const std::string one = Disk("one.img", {2048});
    Outcome r = Cmd({"scan", one});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kTsv);

    const std::string two = Disk("two.img", {2048, 8192});
    r = Cmd({"scan", two});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    const std::string size = std::to_string(volume_.size() / 512 * 512);
    EXPECT_THAT(r.err,
                HasSubstr("  " + two + "@1048576\t" + size + "\tTest\t1\n  " + two + "@4194304\t"));
    EXPECT_EQ(Cmd({"scan", two + "@4194304"}).out, kTsv);

    r = Cmd({"sources", two, image_, (dir_ / "missing").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr(two + "@1048576\t" + size + "\tTest\t1\t1048576\n" + two +
                                 "@4194304\t" + size + "\tTest\t2\t4194304\n" + image_ + "\t" +
                                 std::to_string(volume_.size()) + "\tTest\t\t\n"));
    EXPECT_THAT(r.err, HasSubstr("missing: no such file or device"));
}

TEST_F(Cli, RecoverAllThenChosenPositionsByNumber) {
    const fs::path out = dir_ / "new" / "out";
    Outcome r = Cmd({"recover", image_, "--out", out.string(), "--all"});
    EXPECT_EQ(r.status, 3);  // broken.dat is given up
    const std::string weird = (out / "q\"b_s\tt\n\u20AC.x").string();
    EXPECT_EQ(r.out, "0x8000\t" + (out / "plain.txt").string() + "\t5\n" + "0x8400\t" +
                         (out / "q\"b_s\\tt\\n\u20AC.x").string() + "\t5\n" + "0x8C00\t" +
                         (out / "big.bin").string() + "\t10000\n");
    EXPECT_THAT(r.err, HasSubstr("0x9000: given up"));
    EXPECT_THAT(r.err, HasSubstr("3 files written, 0 damaged, 1 given up, 10010 bytes\n"));
    EXPECT_EQ(Slurp(out / "plain.txt"), "hello");
    EXPECT_EQ(Slurp(weird), "weird");
    EXPECT_EQ(Slurp(out / "big.bin"), std::string(kBig.begin(), kBig.end()));
    EXPECT_FALSE(fs::exists(out / "broken.dat"));
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 3);
    // One file at a time or several: the same lines in the same order.
    for (const char* jobs : {"--jobs=1", "--jobs=16"}) {
        const fs::path again = dir_ / jobs;
        Outcome j = Cmd({"recover", image_, "--out", again.string(), "--all", jobs});
        std::string expected = r.out;
        for (std::size_t at; (at = expected.find(out.string())) != std::string::npos;)
            expected.replace(at, out.string().size(), again.string());
        EXPECT_EQ(j.status, 3);
        EXPECT_EQ(j.out, expected);
    }

    // File_N counts rows in scan order; a position no row has is given up.
    r = Cmd(
        {"recover", image_, "--by-number", "--out", out.string(), "0x8c00", "0x8004", "0X8C00"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "0x8C00\t" + (out / "File_2").string() + "\t10000\n");
    EXPECT_THAT(r.err, HasSubstr("0x8004: the scan lists no deleted file"));
    EXPECT_THAT(r.err, HasSubstr("1 file written, 0 damaged, 1 given up, 10000 bytes"));
    EXPECT_EQ(Slurp(out / "File_2"), Slurp(out / "big.bin"));
}

TEST_F(Cli, FiltersChooseTheRowsOfScanAndTheFilesOfRecover) {
    auto lines = [](const std::string& out) {
        std::vector<std::string> records;
        std::istringstream in(out);
        std::string l;
        std::getline(in, l);  // header
        while (std::getline(in, l)) records.push_back(l.substr(0, l.find('\t')));
        return records;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(lines(Cmd({"scan", image_, "--name", "*.TXT"}).out), V{"0x8000"});
    EXPECT_EQ(lines(Cmd({"scan", image_, "--min-size=5K"}).out), V{"0x8C00"});
    EXPECT_EQ(lines(Cmd({"scan", image_, "--ext", "bin,dat", "--max-size", "4K"}).out),
              V{"0x9000"});
    EXPECT_EQ(lines(Cmd({"scan", image_, "--path", "/p*", "--no-orphans"}).out), V{"0x8000"});
    EXPECT_EQ(lines(Cmd({"scan", image_, "--modified-after", "2004-03-01"}).out), V{});
    Outcome bad = Cmd({"scan", image_, "--min-size", "lots"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_THAT(bad.err, HasSubstr("--min-size"));

    const fs::path out = dir_ / "filtered";
    Outcome r = Cmd({"recover", image_, "--out", out.string(), "--by-number", "--ext", "bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x8C00\t" + (out / "File_2").string() + "\t10000\n");  // scan's index kept
    Outcome both = Cmd({"recover", image_, "--out", out.string(), "--ext", "bin", "0x8000"});
    EXPECT_EQ(both.status, 2);
    EXPECT_THAT(both.err, HasSubstr("positions and filters exclude each other"));
}

TEST_F(Cli, RefusesAnOutputFolderOnTheVolumeBeingRead) {
    const std::string disk = Disk("one.img", {2048});
    std::vector<std::pair<std::string, std::string>> asked;
    cli::SetFolderIsOnSourceForTesting([&](const std::string& folder, const std::string& source) {
        asked.emplace_back(folder, source);
        return true;
    });
    const fs::path out = dir_ / "out";
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    EXPECT_EQ(cli::Run({"recover", disk, "--out", out.string(), "--all"}, o, e), 1);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(
        cli::Run({"recover", disk, "--out", out.string(), "--all", "--allow-same-volume"}, o, e),
        3);  // broken.dat is given up
    EXPECT_TRUE(fs::exists(out / "big.bin"));
    cli::SetFolderIsOnSourceForTesting(nullptr);
    std::fflush(e);
    std::rewind(e);
    char buf[4096] = {};
    std::fread(buf, 1, sizeof buf - 1, e);
    EXPECT_THAT(std::string(buf),
                HasSubstr("lies on the volume being read (" + disk + "@1048576)"));
    ASSERT_EQ(asked.size(), 1u);  // the nearest folder that exists, and the partition read
    EXPECT_EQ(asked[0], std::make_pair(dir_.string(), disk + "@1048576"));
    std::fclose(o);
    std::fclose(e);
}

TEST_F(Cli, ReferenceGptDiskListsAndRecoversItsDeletedFile) {
    const std::string tar = std::string(QM_TESTDATA) + "/volumes/gpt_disk.tar.gz";
    ASSERT_TRUE(fs::exists(tar)) << tar << " not present";
    ASSERT_EQ(
        std::system(("tar -xzf '" + tar + "' --no-same-owner -C '" + dir_.string() + "'").c_str()),
        0);
    const std::string disk = (dir_ / "vss_1_vol.raw").string();
    Outcome r = Cmd({"scan", disk});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kTsv.substr(0, kTsv.find('\n') + 1)) +
                         "0x4000A800\t42\t{3808876b-c176-4e48-b7ae-04046e6cc752}\t\t65536\t"
                         "2021-03-10T22:43:00.295Z\t2021-03-10T22:43:00.327Z\t"
                         "/System Volume Information/{3808876b-c176-4e48-b7ae-04046e6cc752}\t0\t"
                         "overwritten (100 %)\tmft\n");
    EXPECT_EQ(r.err,
              "quillmere-cli: " + disk + ": reading its NTFS partition " + disk + "@34603008\n");
    r = Cmd({"recover", disk, "--out", (dir_ / "out").string(), "--all"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fs::file_size(dir_ / "out" / "{3808876b-c176-4e48-b7ae-04046e6cc752}"), 65536u);
}

}  // namespace
}  // namespace qm::test
