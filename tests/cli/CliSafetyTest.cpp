// quillmere-cli and what is already in the output folder, output that fails
// (full disk, files too large, a closed pipe), exit statuses, names the output
// file system cannot take, and names that would steer the terminal.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/Cli.h"
#include "platform/testing/FaultyOutput.h"
#include "tests/cli/CliHarness.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint64_t kT = 127225584294520000;

// A deleted file per entry, from record 16 on: resident when the content is
// short, else in clusters from 40 on.
Bytes MakeVolume(const std::vector<std::pair<std::u16string, Bytes>>& files,
                 std::uint64_t records = 64) {
    VolumeBuilder vb;
    vb.RecordCount(records);
    std::uint64_t lcn = 4 + (records + 3) / 4 + 4;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& [name, content] = files[i];
        const auto index = static_cast<std::uint32_t>(16 + i);
        RecordBuilder rb = vb.NewRecord(index);
        rb.StandardInformation(kT, kT).FileName(name);
        if (content.size() <= 256) {
            rb.ResidentData(content);
        } else {
            const std::uint64_t clusters = (content.size() + 4095) / 4096;
            vb.Data(lcn, content);
            rb.NonResidentData(
                RunListBuilder().Run(clusters, static_cast<std::int64_t>(lcn)).Build(),
                content.size(), content.size(), 0, clusters - 1);
            lcn += clusters;
        }
        vb.Record(index, rb.Build());
    }
    return vb.Build();
}

std::string Text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

std::vector<std::string> FolderNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CliSafety : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeScratchFolder("qmclisafe");
        out_ = dir_ / "out";
    }
    void TearDown() override {
        cli::SetOutputForTesting(nullptr);
        std::error_code ec;
        fs::permissions(out_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir_);
    }

    std::string Image(const Bytes& volume, const std::string& name = "vol.img") {
        Spit(dir_ / name, volume);
        return (dir_ / name).string();
    }

    // The program, with stdout to a file, or to a pipe nobody reads when `closedStdout`.
    Outcome Cmd(std::vector<std::string> args, bool closedStdout = false) {
        return RunProgram(dir_, std::move(args), closedStdout);
    }

    // In this process, so that the output can be a test double.
    Outcome Run(const std::vector<std::string>& args) { return RunInProcess(args); }

    fs::path dir_, out_;
};

TEST_F(CliSafety, TakenNamesGetFreeOnesAndNothingInTheFolderIsReplaced) {
    const Bytes big = Pattern(9000, 3);
    const std::string image = Image(MakeVolume(
        {{u"a.txt", BytesOf("first")}, {u"a.txt", BytesOf("second")}, {u"big.bin", big}}));
    fs::create_directories(out_);
    // A read-only file of the same name as one recovered.
    Spit(out_ / "big.bin", BytesOf("keep me"));
    fs::permissions(out_ / "big.bin", fs::perms::owner_read);

    Outcome r = Cmd({"recover", image, "--out", out_.string(), "--all", "--jobs", "2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x8000\t" + (out_ / "a.txt").string() + "\t5\n" + "0x8400\t" +
                         (out_ / "a (1).txt").string() + "\t6\ta.txt was taken\n" + "0x8800\t" +
                         (out_ / "big (1).bin").string() + "\t9000\tbig.bin was taken\n");
    EXPECT_THAT(r.err, HasSubstr("3 files written, 0 damaged, 0 given up, 9011 bytes\n"));
    EXPECT_THAT(r.err, HasSubstr("2 names were taken"));
    EXPECT_EQ(Slurp(out_ / "big.bin"), "keep me");
    EXPECT_EQ(Slurp(out_ / "big (1).bin"), Text(big));
    EXPECT_EQ(Slurp(out_ / "a (1).txt"), "second");

    // A second run keeps the first one's files; names count on past the taken ones.
    r = Cmd({"recover", image, "--out", out_.string(), "0x8000", "0x8800"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x8000\t" + (out_ / "a (2).txt").string() + "\t5\ta.txt was taken\n" +
                         "0x8800\t" + (out_ / "big (2).bin").string() +
                         "\t9000\tbig.bin was taken\n");
    EXPECT_EQ(FolderNames(out_),
              (std::vector<std::string>{"a (1).txt", "a (2).txt", "a.txt", "big (1).bin",
                                        "big (2).bin", "big.bin"}));
    EXPECT_EQ(Slurp(out_ / "a.txt"), "first");

    // --overwrite replaces what it may, as the window does.
    fs::remove(out_ / "big.bin");
    r = Cmd({"recover", image, "--out", out_.string(), "--all", "--overwrite"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Slurp(out_ / "a.txt"), "second");
    EXPECT_EQ(Slurp(out_ / "big.bin"), Text(big));
    EXPECT_THAT(r.err, HasSubstr("1 file replaced an earlier file of the same name"));
    EXPECT_EQ(FolderNames(out_).size(), 6u);
}

TEST_F(CliSafety, ExitStatusSaysWhetherEverythingCameOutWhole) {
    VolumeBuilder vb;
    vb.Record(16, vb.NewRecord(16)
                      .StandardInformation(kT, kT)
                      .FileName(u"ok.txt")
                      .ResidentData(BytesOf("ok"))
                      .Build());
    vb.Record(
        17, vb.NewRecord(17)
                .StandardInformation(kT, kT)
                .FileName(u"broken.dat")
                .NonResidentData(RunListBuilder().Raw({0x19, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}).Build(),
                                 4096, 4096)
                .Build());
    // Its second cluster lies past the volume's end: written, and damaged.
    vb.Record(18, vb.NewRecord(18)
                      .StandardInformation(kT, kT)
                      .FileName(u"half.bin")
                      .NonResidentData(RunListBuilder().Run(2, 39).Build(), 8192, 8192, 0, 1)
                      .Build());
    vb.Data(39, Pattern(4096, 7)).TotalClusters(40);
    vb.RecordCount(64);
    const Bytes volume = vb.Build();
    const std::string image = Image(volume);
    const std::string cut =
        Image(Bytes(volume.begin(), volume.begin() + 4 * 4096 + 40 * 1024), "cut.img");
    const std::string o = out_.string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    for (const Case& c : std::vector<Case>{
             {{"recover", image, "--out", o, "0x8000"}, 0, "1 file written, 0 damaged, 0 given up"},
             {{"recover", image, "--out", o, "0x8800"},
              3,
              "0 files written, 1 damaged, 0 given up"},
             {{"recover", image, "--out", o, "--all"},
              3,
              "0x8400: given up: $DATA attribute is damaged"},
             {{"recover", image, "--out", o, "0x8000", "0x9000"}, 3, "0x9000: the scan lists no"},
             {{"recover", cut, "--out", o, "0x8000"}, 3, "records could not be read"},
             {{"scan", cut}, 3, "records could not be read"},
             {{"scan", image}, 0, ""},
             {{"recover", (dir_ / "none").string(), "--out", o, "--all"}, 1, "no such file"},
             {{"recover", image, "--out", o}, 2, "usage"},
         }) {
        Outcome r = Cmd(c.args);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.err)) << ::testing::PrintToString(c.args);
    }
    // The damaged file's line says so, with the bytes that could not be had.
    const Outcome damaged = Cmd({"recover", image, "--out", (dir_ / "d").string(), "0x8800"});
    EXPECT_EQ(damaged.out, "0x8800\t" + (dir_ / "d" / "half.bin").string() +
                               "\t8192\tdamaged: unreadable bytes 4096-8191\n");
    Outcome help = Cmd({"--help"});
    EXPECT_THAT(help.out, HasSubstr("  3    partial"));
}

TEST_F(CliSafety, FullDiskStopsAtOnceWithTheSystemsReason) {
    const std::string image = Image(MakeVolume({{u"a.bin", Pattern(8000, 1)},
                                                {u"b.bin", Pattern(8000, 2)},
                                                {u"c.bin", Pattern(8000, 3)},
                                                {u"d.bin", Pattern(8000, 4)}}));
    testing::FaultyOutputFactory faulty;
    faulty.DiskSpace(12000);
    cli::SetOutputForTesting(&faulty);
    Outcome r = Run({"recover", image, "--out", out_.string(), "--all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("0x8400: given up: output file cannot be written (" +
                                 (out_ / "b.bin").string() + "): No space left on device\n"));
    EXPECT_THAT(r.err, HasSubstr("1 file written, 0 damaged, 1 given up, 8000 bytes\n"));
    EXPECT_THAT(r.err, HasSubstr("stopped: " + out_.string() +
                                 ": No space left on device; 2 files not recovered\n"));
    EXPECT_EQ(faulty.Creates(), 2);  // c.bin and d.bin were not tried
    EXPECT_EQ(FolderNames(out_), std::vector<std::string>{"a.bin"});

    // Several at a time: the same stop, and no temporary file stays behind.
    fs::remove_all(out_);
    testing::FaultyOutputFactory again;
    again.DiskSpace(12000);
    cli::SetOutputForTesting(&again);
    r = Run({"recover", image, "--out", out_.string(), "--all", "--jobs", "4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("No space left on device"));
    if (fs::exists(out_)) {
        for (const std::string& name : FolderNames(out_))
            EXPECT_EQ(name.rfind(".qm-", 0), std::string::npos);
    }

    // A file too large for the output is given up with its reason; the rest go on.
    fs::remove_all(out_);
    testing::FaultyOutputFactory large;
    large.FailAfterBytes(5000).Only(
        [](const std::string& p) { return p.find("b.bin") != std::string::npos; });
    cli::SetOutputForTesting(&large);
    r = Run({"recover", image, "--out", out_.string(), "--all"});
    EXPECT_EQ(r.status, 3);
    EXPECT_THAT(r.err, HasSubstr("b.bin): File too large\n"));
    EXPECT_THAT(r.err, HasSubstr("3 files written, 0 damaged, 1 given up"));
}

TEST_F(CliSafety, AFileLargerThanTheProcessMayWriteIsGivenUpWithItsReason) {
    // RLIMIT_FSIZE: a write past it fails with EFBIG, and sends SIGXFSZ, which
    // would end the run there and leave the file's temporary behind.
    const std::string image = Image(MakeVolume({{u"a.bin", Pattern(8000, 1)},
                                                {u"b.bin", Pattern(40000, 2)},
                                                {u"c.bin", Pattern(8000, 3)}}));
    const Outcome r =
        RunProgram(dir_, {"recover", image, "--out", out_.string(), "--all"}, false, 16 << 10);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_THAT(r.err, HasSubstr("b.bin): File too large\n"));
    EXPECT_THAT(r.err, HasSubstr("2 files written, 0 damaged, 1 given up"));
    EXPECT_EQ(FolderNames(out_), (std::vector<std::string>{"a.bin", "c.bin"}));
}

TEST_F(CliSafety, AFolderThatTakesNoFilesStopsTheRecovery) {
    const std::string image =
        Image(MakeVolume({{u"a.txt", BytesOf("a")}, {u"b.txt", BytesOf("b")}}));
    testing::FaultyOutputFactory faulty;
    faulty.FailCreate();
    cli::SetOutputForTesting(&faulty);
    Outcome r = Run({"recover", image, "--out", out_.string(), "--all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("0 files written, 0 damaged, 1 given up"));
    EXPECT_THAT(r.err,
                HasSubstr("stopped: " + (out_ / "a.txt").string() + ": injected create failure"));
    EXPECT_FALSE(fs::exists(out_));  // made by the run and left empty: removed
}

TEST_F(CliSafety, InterruptedRecoveryRemovesTheFolderItMade) {
    const std::string image = Image(MakeVolume({{u"a.bin", Pattern(8000, 1)}}));
    // Interrupted as the first file is being written.
    struct Interrupting final : OutputFactory {
        ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& path) override {
            cli::RequestStop();
            return DefaultOutputFactory().Create(path);
        }
    } interrupting;
    cli::SetOutputForTesting(&interrupting);
    Outcome r = Run({"recover", image, "--out", (out_ / "deep").string(), "--all"});
    EXPECT_EQ(r.status, 130);
    EXPECT_THAT(r.err, HasSubstr("stopped; 1 file not recovered"));
    EXPECT_FALSE(fs::exists(out_ / "deep"));
    EXPECT_TRUE(
        fs::exists(out_));  // made too, but only the folder asked for is the run's to remove
}

TEST_F(CliSafety, ClosedStdoutStopsWithoutLeavingTemporaries) {
    // Enough files that their lines fill the output's buffer many times over.
    std::vector<std::pair<std::u16string, Bytes>> files;
    for (int i = 0; i < 1500; ++i)
        files.push_back({std::u16string(200, u'n') + u"." +
                             std::u16string(1, char16_t(u'a' + i % 26)) +
                             char16_t(u'a' + i / 26 % 26) + char16_t(u'a' + i / 676),
                         BytesOf("x")});
    const std::string image = Image(MakeVolume(files, 1536));
    Outcome r = Cmd({"recover", image, "--out", out_.string(), "--all", "--jobs", "4"}, true);
    EXPECT_EQ(r.status, 1) << r.err;  // not killed by SIGPIPE
    EXPECT_THAT(r.err, HasSubstr("cannot write the output: Broken pipe"));
    std::size_t written = 0;
    for (const std::string& name : FolderNames(out_)) {
        EXPECT_EQ(name.rfind(".qm-", 0), std::string::npos) << name;
        ++written;
    }
    EXPECT_LT(written, files.size());
}

TEST_F(CliSafety, LongNamesAreShortenedToFitKeepingTheirExtension) {
    const std::u16string cjk(100, u'\u6587');  // 300 bytes in UTF-8
    const std::string image =
        Image(MakeVolume({{cjk + u".txt", BytesOf("one")},
                          {cjk + u"x.txt", BytesOf("two")},
                          {std::u16string(128, u'\u00E9') + u".text", BytesOf("three")}}));
    Outcome r = Cmd({"recover", image, "--out", out_.string(), "--all"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string kept = [] {
        std::string s;
        for (int i = 0; i < 83; ++i) s += "\xE6\x96\x87";  // 249 bytes, whole characters
        return s;
    }();
    std::string eAcute;
    for (int i = 0; i < 125; ++i) eAcute += "\xC3\xA9";  // 250 bytes
    EXPECT_EQ(FolderNames(out_),
              (std::vector<std::string>{eAcute + ".text", kept.substr(0, 3 * 82) + " (1).txt",
                                        kept + ".txt"}));
    EXPECT_EQ(Slurp(out_ / (kept + ".txt")), "one");
    EXPECT_EQ(Slurp(out_ / (kept.substr(0, 3 * 82) + " (1).txt")), "two");
}

TEST_F(CliSafety, NamesCannotSteerTheTerminal) {
    const std::string image = Image(MakeVolume(
        {{u"\x1b[31mred\nquillmere-cli: fake", BytesOf("r")}, {u"../../p", BytesOf("p")}}));
    Outcome scan = Cmd({"scan", image});
    EXPECT_THAT(scan.out, HasSubstr("\t../../p\t\t1\t"));  // a point in a path part is no type
    // The given-up line names the output path, escape sequence and line feed included.
    testing::FaultyOutputFactory faulty;
    faulty.FailCommit().Only(
        [](const std::string& p) { return p.find("red") != std::string::npos; });
    cli::SetOutputForTesting(&faulty);
    Outcome r = Run({"recover", image, "--out", out_.string(), "--all"});
    EXPECT_EQ(r.status, 3);
    EXPECT_THAT(r.err, HasSubstr("/\\x1B[31mred\\nquillmere-cli: fake): Input/output error\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("\x1b")));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);  // the give-up and the counts
    EXPECT_EQ(Slurp(out_ / ".._.._p"), "p");
}

TEST_F(CliSafety, SourcesNeedsRoomForTheMftAndOffsetsMustBeNumbers) {
    const Bytes volume = MakeVolume({{u"a.txt", BytesOf("a")}});
    const std::string whole = Image(volume);
    const std::string s511 = Image(Bytes(volume.begin(), volume.begin() + 511), "s511.img");
    const std::string s512 = Image(Bytes(volume.begin(), volume.begin() + 512), "s512.img");
    const std::string noMft = Image(Bytes(volume.begin(), volume.begin() + 4 * 4096), "nomft.img");
    Outcome r = Cmd({"sources", s511, s512, noMft, whole});
    EXPECT_EQ(r.out, whole + "\t" + std::to_string(volume.size()) + "\tTest\t\t\n");
    for (const std::string& small : {s511, s512, noMft})
        EXPECT_THAT(r.err, HasSubstr(small + ": no NTFS volume or partition found"));
    for (const std::string& bad : {whole + "@abc", whole + "@-1"}) {
        r = Cmd({"scan", bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(bad + ": bad offset"));
    }
    EXPECT_THAT(Cmd({"scan", (dir_ / "none@12x").string()}).err, HasSubstr("no such file"));
}

}  // namespace
}  // namespace qm::test
