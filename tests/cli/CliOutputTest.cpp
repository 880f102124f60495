// quillmere-cli's output forms, the partitions of disk images, and what it
// says about itself (help, version, unknown options), run in-process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/Cli.h"
#include "cli/Help.h"
#include "cli/ScanFormats.h"
#include "ntfs/Sources.h"
#include "tests/cli/CliHarness.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint64_t kT = 127225584294520000;     // 2004-02-29T20:00:29.452Z, 1078084829
constexpr std::uint64_t kDay = 864000000000;         // one day of FILETIME ticks
constexpr std::uint64_t kBefore1970 = 100000000000;  // 1601-01-01 and a bit

// Two deleted files whose $FILE_NAME times differ from their
// $STANDARD_INFORMATION times, one with a name CSV must quote and a body file
// must escape.
Bytes MakeVolume() {
    VolumeBuilder vb;
    vb.Record(16, vb.NewRecord(16)
                      .StandardInformation(kT, kT + kDay)
                      .FileNameTimes(kT - kDay, kT - 2 * kDay, kT - 3 * kDay, kT - 4 * kDay)
                      .FileName(u"plain.txt")
                      .ResidentData(BytesOf("hello"))
                      .Build());
    vb.Record(17, vb.NewRecord(17)
                      .StandardInformation(kBefore1970, kT)
                      .FileName(u"a,\"b\"|c.doc")
                      .ResidentData(BytesOf("x"))
                      .Build());
    return vb.Build();
}

class CliOutput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeScratchFolder("qmcliout");
        volume_ = MakeVolume();
        image_ = (dir_ / "vol.img").string();
        Spit(image_, volume_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    Bytes volume_;
    std::string image_;
};

TEST_F(CliOutput, EachFormatOfTheScan) {
    const std::string c = "2004-02-29T20:00:29.452Z", m = "2004-03-01T20:00:29.452Z";
    const std::string old = "1601-01-01T02:46:40.000Z";
    const std::string jsonRow1 = R"({"position":"0x8000","record":16,"name":"plain.txt",)"
                                 R"("type":".txt","size":5,"created":")" +
                                 c + R"(","modified":")" + m +
                                 R"(","path":"/plain.txt","recoverable":100,"flags":"resident",)"
                                 R"("kind":"file","source":"mft"})";
    const std::string jsonRow2 = R"({"position":"0x8400","record":17,"name":"a,\"b\"|c.doc",)"
                                 R"("type":".doc","size":1,"created":")" +
                                 old + R"(","modified":")" + c +
                                 R"(","path":"/a,\"b\"|c.doc","recoverable":100,)"
                                 R"("flags":"resident","kind":"file","source":"mft"})";
    struct Case {
        std::vector<std::string> options;
        std::string out;
    } cases[] = {
        {{},
         "position\trecord\tname\ttype\tsize\tcreated\tmodified\tpath\trecoverable\tflags\tsource\n"
         "0x8000\t16\tplain.txt\t.txt\t5\t" +
             c + "\t" + m +
             "\t/plain.txt\t100\tresident\tmft\n0x8400\t17\ta,\"b\"|c.doc\t.doc\t1\t" + old + "\t" +
             c + "\t/a,\"b\"|c.doc\t100\tresident\tmft\n"},
        {{"--format", "tsv"}, ""},  // the same as the default: filled in below
        {{"--format=csv"},
         "position,record,name,type,size,created,modified,path,recoverable,flags,source\r\n"
         "0x8000,16,plain.txt,.txt,5," +
             c + "," + m +
             ",/plain.txt,100,resident,mft\r\n0x8400,17,\"a,\"\"b\"\"|c.doc\",.doc,1," + old + "," +
             c + ",\"/a,\"\"b\"\"|c.doc\",100,resident,mft\r\n"},
        {{"--format", "json"}, "[\n" + jsonRow1 + ",\n" + jsonRow2 + "\n]\n"},
        {{"--format", "jsonl"}, jsonRow1 + "\n" + jsonRow2 + "\n"},
        {{"--json"}, jsonRow1 + "\n" + jsonRow2 + "\n"},
        {{"--format", "bodyfile"},
         "0|/plain.txt|16|r/rrwxrwxrwx|0|0|5|1078171229|1078171229|1078171229|1078084829\n"
         "0|/plain.txt ($FILE_NAME)|16|r/rrwxrwxrwx|0|0|5|1077739229|1077912029|1077825629|"
         "1077998429\n"
         "0|/a,\"b\"\\x7cc.doc|17|r/rrwxrwxrwx|0|0|1|1078084829|1078084829|1078084829|0\n"
         "0|/a,\"b\"\\x7cc.doc ($FILE_NAME)|17|r/rrwxrwxrwx|0|0|1|0|0|0|0\n"},
    };
    cases[1].out = cases[0].out;
    for (const Case& k : cases) {
        std::vector<std::string> args{"scan", image_};
        args.insert(args.end(), k.options.begin(), k.options.end());
        Outcome r = RunInProcess(args);
        EXPECT_EQ(r.status, 0) << ::testing::PrintToString(k.options);
        EXPECT_EQ(r.out, k.out) << ::testing::PrintToString(k.options);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(CliOutput, AnEmptyListingIsStillOneJsonDocument) {
    VolumeBuilder vb;
    Spit(dir_ / "empty.img", vb.Build());
    Outcome r = RunInProcess({"scan", (dir_ / "empty.img").string(), "--format", "json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[\n]\n");
    // A source that cannot be scanned prints no half document.
    r = RunInProcess({"scan", (dir_ / "missing.img").string(), "--format", "json"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
}

// More rows than a block of text holds (they are put into text in blocks, two
// at a time): every row comes out once, in record order, and a JSON document
// stays one document when the rows of the first blocks are all filtered out.
TEST_F(CliOutput, ManyRowsComeOutWholeAndInOrder) {
    constexpr std::uint64_t kFirst = 16, kEnd = 16 + 20000, kFromB = 12000;
    VolumeBuilder vb;
    vb.RecordCount(kEnd);
    for (std::uint64_t n = kFirst; n < kEnd; ++n) {
        const std::string digits = std::to_string(n);
        std::u16string name(n < kFromB ? u"a" : u"b");
        name.append(digits.begin(), digits.end());
        vb.Record(n, vb.NewRecord(static_cast<std::uint32_t>(n))
                         .StandardInformation(kT, kT)
                         .FileName(name)
                         .ResidentData(BytesOf("x"))
                         .Build());
    }
    Spit(dir_ / "many.img", vb.Build());
    const std::string img = (dir_ / "many.img").string();
    auto records = [](const std::string& text, const std::string& key) {
        std::vector<std::uint64_t> got;
        for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
            got.push_back(std::stoull(text.substr(at + key.size(), 8)));
        return got;
    };
    auto range = [](std::uint64_t from, std::uint64_t to) {
        std::vector<std::uint64_t> v;
        for (std::uint64_t n = from; n < to; ++n) v.push_back(n);
        return v;
    };
    Outcome tsv = RunInProcess({"scan", img});
    ASSERT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(records(tsv.out, "\t/a"), range(kFirst, kFromB));
    EXPECT_EQ(records(tsv.out, "\t/b"), range(kFromB, kEnd));
    EXPECT_EQ(std::count(tsv.out.begin(), tsv.out.end(), '\n'), 1 + 20000);

    Outcome json = RunInProcess({"scan", img, "--format", "json", "--path", "/b*"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(records(json.out, "\"record\":"), range(kFromB, kEnd));
    EXPECT_EQ(json.out.substr(0, 4), "[\n{\"");
    EXPECT_EQ(json.out.substr(json.out.size() - 4), "}\n]\n");
    EXPECT_EQ(json.out.find(",\n]"), std::string::npos);
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 2 + (kEnd - kFromB));
}

TEST_F(CliOutput, MactimeBuildsATimelineFromTheBodyFile) {
    if (std::system("command -v mactime >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mactime (sleuthkit) is not installed";
    Outcome r = RunInProcess({"scan", image_, "--format", "bodyfile"});
    ASSERT_EQ(r.status, 0);
    const fs::path body = dir_ / "body", timeline = dir_ / "timeline.csv";
    std::ofstream(body) << r.out;
    const std::string cmd =
        "TZ=UTC mactime -b '" + body.string() + "' -d -y -z UTC > '" + timeline.string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(timeline);
    std::stringstream text;
    text << in.rdbuf();
    // Each time is an event: creation of plain.txt (b), its $FILE_NAME times.
    EXPECT_THAT(text.str(), HasSubstr("2004-02-29T20:00:29Z,5,...b,r/rrwxrwxrwx,0,0,16,"
                                      "\"/plain.txt\""));
    EXPECT_THAT(text.str(), HasSubstr("\"/plain.txt ($FILE_NAME)\""));
    EXPECT_THAT(text.str(), HasSubstr("\"/a,\"\"b\"\"\\x7cc.doc\""));
}

TEST(ScanFormats, BodyTimesAndNames) {
    struct Time {
        std::uint64_t fileTime;
        std::int64_t seconds;
    } times[] = {{0, 0},
                 {116444736000000000, 0},  // 1970-01-01
                 {116444736010000000, 1},
                 {kT, 1078084829},
                 {kBefore1970, 0},
                 {~0ull, 0}};
    for (const Time& t : times) EXPECT_EQ(cli::UnixSeconds(t.fileTime), t.seconds) << t.fileTime;
    struct Name {
        std::string in, out;
    } names[] = {{"plain", "plain"},
                 {"a|b", "a\\x7cb"},
                 {"back\\slash", "back\\\\slash"},
                 {"line\nend\t", "line\\x0aend\\x09"},
                 {"привет.txt", "привет.txt"}};
    for (const Name& n : names) {
        std::string out;
        cli::AppendBodyName(out, n.in);
        EXPECT_EQ(out, n.out);
    }
    // The mode column tells folders from files, as mactime and fls show them.
    struct Mode {
        RowKind kind;
        const char* mode;
    } modes[] = {{RowKind::File, "|r/rrwxrwxrwx|"},
                 {RowKind::Stream, "|r/rrwxrwxrwx|"},
                 {RowKind::Folder, "|d/drwxrwxrwx|"}};
    for (const Mode& m : modes) {
        ScanRow row;
        row.kind = m.kind;
        std::string out;
        cli::AppendBodyRows(out, row, "/x");
        EXPECT_EQ(out, "0|/x|0" + std::string(m.mode) + "0|0|0|0|0|0|0\n0|/x ($FILE_NAME)|0" +
                           m.mode + "0|0|0|0|0|0|0\n");
    }
    for (const char* f : {"tsv", "csv", "json", "jsonl", "bodyfile"})
        EXPECT_TRUE(cli::ParseScanFormat(f).has_value()) << f;
    for (const char* f : {"", "TSV", "xml", "json "}) EXPECT_FALSE(cli::ParseScanFormat(f)) << f;
}

// A disk with an NTFS primary partition, a Linux one, and an extended
// partition whose chain holds two NTFS logical partitions.
class DiskImage : public CliOutput {
protected:
    std::string MakeMbrDisk() {
        const std::uint64_t sectors = volume_.size() / 512;
        const std::uint64_t ext = 2048 + sectors + 2048;  // the extended partition's start
        Bytes disk((ext + 2 * (sectors + 2048) + 16) * 512);
        auto entry = [&](std::uint64_t at, int slot, int type, std::uint64_t lba,
                         std::uint64_t count) {
            const std::size_t e = at * 512 + 446 + 16 * slot;
            PutLe(disk, e + 4, type, 1);
            PutLe(disk, e + 8, lba, 4);
            PutLe(disk, e + 12, count, 4);
            PutLe(disk, at * 512 + 510, 0xAA55, 2);
        };
        auto place = [&](std::uint64_t lba) {
            std::copy(volume_.begin(), volume_.end(), disk.begin() + lba * 512);
        };
        entry(0, 0, 0x07, 2048, sectors);
        place(2048);
        entry(0, 1, 0x83, 2048 + sectors, 2048);
        entry(0, 2, 0x0F, ext, 2 * (sectors + 2048) + 16);
        // First EBR at ext: its logical 2048 sectors on; link to the next EBR.
        const std::uint64_t ebr2 = ext + 2048 + sectors;
        entry(ext, 0, 0x07, 2048, sectors);
        entry(ext, 1, 0x05, ebr2 - ext, sectors + 2048);
        place(ext + 2048);
        entry(ebr2, 0, 0x07, 2048, sectors);
        place(ebr2 + 2048);
        const fs::path p = dir_ / "mbr.img";
        Spit(p, disk);
        return p.string();
    }
};

TEST_F(DiskImage, SourcesListsEveryNtfsPartitionWithItsNumber) {
    const std::string disk = MakeMbrDisk();
    const std::uint64_t sectors = volume_.size() / 512;
    const std::uint64_t ext = 2048 + sectors + 2048, ebr2 = ext + 2048 + sectors;
    const std::string size = std::to_string(sectors * 512);
    const std::uint64_t starts[] = {2048 * 512, (ext + 2048) * 512, (ebr2 + 2048) * 512};
    Outcome r = RunInProcess({"sources", disk});
    EXPECT_EQ(r.status, 0);
    // Partition 2 is the Linux one: numbers follow the table, NTFS or not.
    std::string want;
    const int numbers[] = {1, 3, 4};
    for (int i = 0; i < 3; ++i) {
        const std::string start = std::to_string(starts[i]);
        want += disk + "@" + start + "\t" + size + "\tTest\t" + std::to_string(numbers[i]) + "\t" +
                start + "\n";
    }
    EXPECT_THAT(r.out, HasSubstr(want));

    // --partition picks one; the listing is that volume's.
    Outcome whole = RunInProcess({"scan", image_});
    for (int i = 0; i < 3; ++i) {
        r = RunInProcess({"scan", disk, "--partition", std::to_string(numbers[i])});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, whole.out) << numbers[i];
    }
    for (const char* n : {"2", "5"}) {
        r = RunInProcess({"scan", disk, "--partition", n});
        EXPECT_EQ(r.status, 1) << n;
        EXPECT_THAT(r.err, HasSubstr("no NTFS partition numbered " + std::string(n)));
    }
    for (const char* n : {"0", "x", "-1", ""}) {
        r = RunInProcess({"scan", disk, "--partition=" + std::string(n)});
        EXPECT_EQ(r.status, 2) << n;
    }
    // Without --partition the disk is ambiguous and the numbers are shown.
    r = RunInProcess({"scan", disk});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("--partition N"));
    EXPECT_THAT(r.err, HasSubstr("\tTest\t4\n"));

    // recover takes the advice too: the partition's files, as from the volume.
    const std::string alone = (dir_ / "alone").string(), fourth = (dir_ / "fourth").string();
    r = RunInProcess({"recover", disk, "--out", alone, "--all"});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("--partition N"));
    ASSERT_EQ(RunInProcess({"recover", image_, "--out", alone, "--all"}).status, 0);
    r = RunInProcess({"recover", disk, "--partition", "4", "--out", fourth, "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t files = 0;
    for (const auto& entry : fs::directory_iterator(alone)) {
        ++files;
        const fs::path name = entry.path().filename();
        ASSERT_TRUE(fs::exists(fs::path(fourth) / name)) << name;
        EXPECT_EQ(Slurp(fs::path(fourth) / name), Slurp(entry.path())) << name;
    }
    EXPECT_EQ(files, 2u);
    EXPECT_EQ(RunInProcess({"recover", disk, "--partition=2", "--out", fourth, "--all"}).status, 1);
    EXPECT_EQ(RunInProcess({"recover", disk, "--partition=0", "--out", fourth, "--all"}).status, 2);
}

TEST_F(CliOutput, ReferenceGptDiskListsItsPartitionWithItsNumber) {
    const std::string tar = std::string(QM_TESTDATA) + "/volumes/gpt_disk.tar.gz";
    ASSERT_EQ(
        std::system(("tar -xzf '" + tar + "' --no-same-owner -C '" + dir_.string() + "'").c_str()),
        0);
    const std::string disk = (dir_ / "vss_1_vol.raw").string();
    Outcome r = RunInProcess({"sources", disk});
    EXPECT_EQ(r.status, 0);
    // The reserved partition before it is number 1.
    EXPECT_THAT(r.out, HasSubstr(disk + "@34603008\t"));
    EXPECT_THAT(r.out, HasSubstr("\t1\t2\t34603008\n"));
    EXPECT_EQ(RunInProcess({"scan", disk, "--partition", "2"}).status, 0);
    EXPECT_EQ(RunInProcess({"scan", disk, "--partition", "1"}).status, 1);
}

TEST(SourceListLabel, PartitionsOfOneDiskAreToldApart) {
    struct Case {
        SourceInfo source;
        std::string label;
    } cases[] = {
        {{"/dev/sdb1", 100, "Data"}, "/dev/sdb1"},
        {{"/img/vol.img", 100, "Data"}, "/img/vol.img"},
        {{"/img/disk_gpt.img@1048576", 100, "Data", 2, 1048576}, "分区 2 [Data] disk_gpt.img"},
        {{"/img/disk_gpt.img@9437184", 100, "", 3, 9437184}, "分区 3 disk_gpt.img"},
        {{"disk.E01@32256", 100, "C", 1, 32256}, "分区 1 [C] disk.E01"},
    };
    for (const Case& c : cases) EXPECT_EQ(SourceListLabel(c.source), c.label);
}

TEST_F(CliOutput, HelpVersionAndUnknownOptions) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string has, hasNot;  // in stdout for status 0, in stderr otherwise
    } cases[] = {
        {{"--help"}, 0, "Exit status:\n  0", ""},
        {{"-h"}, 0, "Commands:", ""},
        {{"help"}, 0, "Commands:", ""},
        {{"--version"}, 0, "quillmere-cli ", ""},
        {{"-V"}, 0, "image formats: raw, split raw", ""},
        {{"help", "scan"}, 0, "--format FORMAT", "--allow-same-volume"},
        {{"scan", "--help"}, 0, "quillmere-cli scan disk.img --partition 2", "--by-number"},
        {{"scan", image_, "-h"}, 0, "usage: quillmere-cli scan", ""},
        {{"recover", "--help"}, 0, "--allow-same-volume", "--format"},
        {{"help", "recover"}, 0, "Examples:", ""},
        {{"sources", "--help"}, 0, "partition number", ""},
        {{"help", "help"}, 0, "usage: quillmere-cli help", ""},
        {{"help", "frob"}, 2, "help: unknown command frob", ""},
        {{"--frob"}, 2, "unknown option --frob", ""},
        {{"frob"}, 2, "unknown command frob", ""},
        {{"scan", image_, "--frob"}, 2, "scan: unknown option --frob", ""},
        {{"scan", image_, "--format", "xml"}, 2, "scan: unknown format xml (one of tsv,", ""},
        {{"scan", image_, "--format"}, 2, "--format needs a format", ""},
        {{"sources", "--frob"}, 2, "sources: unknown option --frob", ""},
        {{"recover", image_, "--frob"}, 2, "recover: unknown option --frob", ""},
    };
    for (const Case& c : cases) {
        Outcome r = RunInProcess(c.args);
        const std::string& text = c.status == 0 ? r.out : r.err;
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.args);
        EXPECT_THAT(text, HasSubstr(c.has)) << ::testing::PrintToString(c.args);
        if (!c.hasNot.empty()) {
            EXPECT_THAT(text, Not(HasSubstr(c.hasNot))) << ::testing::PrintToString(c.args);
        }
    }
}

std::string ReadText(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The completion and the man page name every option the help names.
TEST(CliDocs, CompletionAndManPageKnowEveryOption) {
    const std::string completion = ReadText(fs::path(QM_SOURCE_DIR) / "data/quillmere-cli.bash");
    const std::string man = ReadText(fs::path(QM_SOURCE_DIR) / "man/quillmere-cli.1");
    ASSERT_FALSE(completion.empty());
    ASSERT_FALSE(man.empty());
    for (const std::string& command : cli::CommandNames()) {
        EXPECT_THAT(completion, HasSubstr(command));
        EXPECT_THAT(man, HasSubstr(command));
        for (const std::string& option : cli::CommandOptions(command)) {
            if (option == "--help") continue;
            EXPECT_THAT(completion, HasSubstr(option)) << command << " " << option;
            // Roff writes every "-" of an option as "\-".
            std::string roff;
            for (char ch : option) roff += ch == '-' ? std::string("\\-") : std::string(1, ch);
            EXPECT_THAT(man, HasSubstr(roff)) << command << " " << option;
            EXPECT_THAT(*cli::CommandHelp(command), HasSubstr(option)) << command << " " << option;
        }
    }
    // The exit statuses of --help ("  N    meaning" lines) are the man page's.
    std::istringstream statuses(cli::ExitStatusText());
    int listed = 0;
    for (std::string line; std::getline(statuses, line);) {
        if (line.size() < 3 || line[2] < '0' || line[2] > '9') continue;
        ++listed;
        EXPECT_THAT(man, HasSubstr(".B " + line.substr(2, line.find(' ', 2) - 2) + "\n")) << line;
    }
    EXPECT_EQ(listed, 5);
}

// What bash offers for the last of `words` through the completion function.
std::set<std::string> Completions(const std::vector<std::string>& words) {
    std::string line = "quillmere-cli";
    for (const std::string& w : words) line += " '" + w + "'";
    const std::string script = "source '" QM_SOURCE_DIR "/data/quillmere-cli.bash'; COMP_WORDS=(" +
                               line + "); COMP_CWORD=" + std::to_string(words.size()) +
                               "; _quillmere_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
    const fs::path file = fs::temp_directory_path() / ("qm-complete-" + std::to_string(getpid()));
    std::ofstream(file) << script;
    std::set<std::string> offered;
    if (FILE* p = popen(("bash '" + file.string() + "' 2>/dev/null").c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) {
            std::string w(buf);
            if (!w.empty() && w.back() == '\n') w.pop_back();
            if (!w.empty()) offered.insert(w);
        }
        pclose(p);
    }
    fs::remove(file);
    return offered;
}

// The completion run by bash offers the commands, each command's own options
// (every one the command takes and no other) and the formats.
TEST(CliDocs, CompletionOffersEachCommandsOwnOptions) {
    if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash";
    const auto commands = Completions({""});
    for (const std::string& command : cli::CommandNames()) EXPECT_EQ(commands.count(command), 1u);
    EXPECT_EQ(commands.count("--version"), 1u);
    for (const char* command : {"scan", "recover"}) {
        const auto options = cli::CommandOptions(command);
        EXPECT_EQ(Completions({command, "--"}),
                  std::set<std::string>(options.begin(), options.end()))
            << command;
    }
    EXPECT_EQ(Completions({"scan", "x.img", "--format", "j"}),
              (std::set<std::string>{"json", "jsonl"}));
    EXPECT_EQ(Completions({"help", "r"}), std::set<std::string>{"recover"});
    EXPECT_TRUE(Completions({"scan", "x.img", "--name", ""}).empty());
}

// Every option the help and the docs name is one the command takes.
TEST_F(CliOutput, EveryDocumentedOptionIsTaken) {
    for (const char* command : {"scan", "recover"}) {
        for (const std::string& option : cli::CommandOptions(command)) {
            Outcome r = RunInProcess({command, image_, option});
            EXPECT_THAT(r.err, Not(HasSubstr("unknown option"))) << command << " " << option;
        }
    }
}

}  // namespace
}  // namespace qm::test
