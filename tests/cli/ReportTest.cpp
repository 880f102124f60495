// recover --report: the CSV and JSON reports read by a real parser (Python's
// csv and json modules), their digests checked by md5sum and sha256sum, the
// lists written next to them checked with -c, and the cases where no report
// may be started.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
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

constexpr std::uint64_t kT = 127225584294520000;

// Records 16 to 20: a resident file, one whose name md5sum must escape (a
// backslash and a line feed), one of three clusters, one whose run list cannot
// be decoded, and one whose second cluster lies past the end of the volume.
Bytes MakeVolume() {
    VolumeBuilder vb;
    vb.TotalClusters(64);
    vb.Record(16, vb.NewRecord(16)
                      .StandardInformation(kT, kT)
                      .FileName(u"plain.txt")
                      .ResidentData(BytesOf("hello"))
                      .Build());
    vb.Record(17, vb.NewRecord(17)
                      .StandardInformation(kT, kT)
                      .FileName(u"new\nline.txt")
                      .ResidentData(BytesOf("weird"))
                      .Build());
    vb.Data(30, Pattern(10000, 7));
    vb.Record(18, vb.NewRecord(18)
                      .StandardInformation(kT, kT)
                      .FileName(u"big.bin")
                      .NonResidentData(RunListBuilder().Run(3, 30).Build(), 10000, 10000, 0, 2)
                      .Build());
    vb.Record(
        19, vb.NewRecord(19)
                .StandardInformation(kT, kT)
                .FileName(u"broken.dat")
                .NonResidentData(RunListBuilder().Raw({0x19, 1, 1, 1, 1, 1, 1}).Build(), 4096, 4096)
                .Build());
    vb.Data(63, Pattern(4096, 3));
    vb.Record(20, vb.NewRecord(20)
                      .StandardInformation(kT, kT)
                      .FileName(u"cut.bin")
                      .NonResidentData(RunListBuilder().Run(2, 63).Build(), 8192, 8192, 0, 1)
                      .Build());
    return vb.Build();
}

// Reads a report as a reviewer's script would and prints, per file,
// "position result unreadable bytes_written" and the header's fields; and
// writes the md5 and sha256 columns as lists md5sum -c and sha256sum -c check.
constexpr const char* kReader = R"PY(
import csv, json, sys
path, md5list, shalist = sys.argv[1:4]
if path.endswith('.csv'):
    with open(path, newline='', encoding='utf-8') as f:
        text = f.read()
    head, table = text.split('\n\n', 1)
    header = dict(row for row in csv.reader(head.splitlines()))
    files = list(csv.DictReader(table.splitlines(keepends=True)))
    ranges = lambda f: f['unreadable']
    value = lambda v: v
else:
    with open(path, encoding='utf-8') as f:
        doc = json.load(f)
    header = {'source': doc['source']['path'], 'source_size': str(doc['source']['size']),
              'volume_serial': doc['source']['volume_serial'], 'tool': doc['tool'],
              'started': doc['started']}
    files = doc['files']
    ranges = lambda f: ' '.join('%d-%d' % (a, b) for a, b in f['unreadable'])
    value = lambda v: '' if v is None else str(v)
for key in ('source', 'source_size', 'volume_serial', 'tool', 'started'):
    print(key, header[key])
def listed(digest, name):
    bad = any(c in name for c in '\\\n\r')
    name = name.replace('\\', '\\\\').replace('\n', '\\n').replace('\r', '\\r')
    return ('\\' if bad else '') + digest + '  ' + name + '\n'
with open(md5list, 'w', encoding='utf-8') as m, open(shalist, 'w', encoding='utf-8') as s:
    for f in files:
        print(f['position'], f['result'], ranges(f) or '-', value(f['bytes_written']) or '-',
              value(f['record']) or '-', value(f['recoverable']) or '-')
        if value(f['output']):
            m.write(listed(f['md5'], value(f['output'])))
            s.write(listed(f['sha256'], value(f['output'])))
)PY";

struct Shell {
    int status;
    std::string out;
};

Shell Sh(const std::string& command) {
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return {-1, {}};
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = ::pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
}

std::string Quote(const fs::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeScratchFolder("qmreport");
        image_ = dir_ / "vol.img";
        const Bytes volume = MakeVolume();
        Spit(image_, volume);
        imageSize_ = volume.size();
    }
    void TearDown() override {
        cli::SetFolderIsOnSourceForTesting(nullptr);
        cli::SetOutputForTesting(nullptr);
        fs::remove_all(dir_);
    }

    // quillmere-cli in this process; returns the status, stderr in `err`.
    int Run(const std::vector<std::string>& args, std::string& err) {
        Outcome r = RunInProcess(args);
        err = std::move(r.err);
        return r.status;
    }

    fs::path dir_, image_;
    std::uint64_t imageSize_ = 0;
};

TEST_F(Report, CsvAndJsonAgreeWithTheFilesAsMd5sumAndSha256sumSeeThem) {
    ASSERT_EQ(Sh("command -v python3 md5sum sha256sum").status, 0)
        << "python3 or coreutils missing";
    const fs::path reader = dir_ / "reader.py";
    std::ofstream(reader) << kReader;
    for (const char* name : {"report.csv", "report.json"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir_ / (std::string(name) + ".out"), report = dir_ / name;
        std::string err;
        // The JSON run writes three files at a time: the report keeps the scan's order.
        EXPECT_EQ(Run({"recover", image_.string(), "--out", out.string(), "--all", "--report",
                       report.string(), "--jobs", report.extension() == ".csv" ? "1" : "3"},
                      err),
                  3)
            << err;
        EXPECT_THAT(err, HasSubstr("md5sum -c"));

        // The lists next to the report check every file written, from the output folder.
        for (const char* tool : {"md5sum", "sha256sum"}) {
            const std::string list = report.string() + (tool[0] == 'm' ? ".md5" : ".sha256");
            const Shell check = Sh("cd " + Quote(out) + " && " + tool + " -c " + Quote(list));
            EXPECT_EQ(check.status, 0) << check.out;
            EXPECT_EQ(std::count(check.out.begin(), check.out.end(), '\n'), 4) << check.out;
        }

        // The report's own columns, read by Python, against md5sum and sha256sum.
        const Shell read = Sh("python3 " + Quote(reader) + " " + Quote(report) + " " +
                              Quote(dir_ / "cols.md5") + " " + Quote(dir_ / "cols.sha256"));
        ASSERT_EQ(read.status, 0) << read.out;
        const std::string expected = "source " + image_.string() + "\nsource_size " +
                                     std::to_string(imageSize_) +
                                     "\nvolume_serial 1234ABCD5678EF90\ntool quillmere-cli ";
        EXPECT_EQ(read.out.substr(0, expected.size()), expected);
        EXPECT_THAT(read.out, HasSubstr("\nstarted 20"));
        EXPECT_THAT(read.out, HasSubstr("\n0x8000 written - 5 16 100\n"
                                        "0x8400 written - 5 17 100\n"
                                        "0x8800 written - 10000 18 -\n"
                                        "0x8C00 given up - - 19 -\n"
                                        "0x9000 damaged 4096-8191 8192 20 -\n"));
        EXPECT_EQ(Sh("md5sum -c " + Quote(dir_ / "cols.md5")).status, 0);
        EXPECT_EQ(Sh("sha256sum -c " + Quote(dir_ / "cols.sha256")).status, 0);
    }
}

// Nothing is written, not even the output folder, when the report cannot be
// started; a report that fails to be written fails the run and leaves nothing.
TEST_F(Report, RefusedBeforeAnythingIsWrittenOrFailingTheRun) {
    std::ofstream(dir_ / "taken.csv") << "keep";
    std::ofstream(dir_ / "list.json.sha256") << "keep";
    fs::create_directory(dir_ / "elsewhere");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* message;
        bool outMade;
    };
    const std::string d = dir_.string(), out = (dir_ / "out").string();
    const Case cases[] = {
        {"another extension", {"--report", d + "/r.txt"}, 2, "ending in .csv or .json", false},
        {"no extension at all", {"--report=.csv"}, 2, "ending in .csv or .json", false},
        {"no file name", {"--report"}, 2, "--report needs a file", false},
        {"a report of that name", {"--report", d + "/taken.csv"}, 1, "taken.csv: a file", false},
        {"a list of that name",
         {"--report", d + "/list.json"},
         1,
         "list.json.sha256: a file",
         false},
        {"no such folder", {"--report", d + "/none/r.csv"}, 1, "does not exist", false},
        {"on the volume read",
         {"--report", d + "/elsewhere/r.csv"},
         1,
         "on the volume being read",
         false},
        {"replacing, when asked",
         {"--report", d + "/taken.csv", "--overwrite"},
         3,
         "report: ",
         true},
        {"in the folder still to be made", {"--report", out + "/r.json"}, 3, "report: ", true},
    };
    cli::SetFolderIsOnSourceForTesting(
        [&](const std::string& folder, const std::string&) { return folder == d + "/elsewhere"; });
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(out);
        std::vector<std::string> args{"recover", image_.string(), "--out", out, "--all"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string err;
        EXPECT_EQ(Run(args, err), c.status) << err;
        EXPECT_THAT(err, HasSubstr(c.message));
        EXPECT_EQ(fs::exists(out), c.outMade);
    }
    EXPECT_NE(std::ifstream(dir_ / "taken.csv").peek(), 'k');  // replaced, as asked
    std::ifstream list(dir_ / "list.json.sha256");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(list), {}), "keep");
    EXPECT_TRUE(fs::exists(out + "/r.json.md5"));

    // A disk that fills up under the report: the files stand, the report does not.
    qm::testing::FaultyOutputFactory faulty;
    faulty.FailAfterBytes(100).Only(
        [](const std::string& path) { return path.find("full.csv") != std::string::npos; });
    cli::SetOutputForTesting(&faulty);
    fs::remove_all(out);
    std::string err;
    EXPECT_EQ(
        Run({"recover", image_.string(), "--out", out, "--all", "--report", d + "/full.csv"}, err),
        1);
    EXPECT_THAT(err, HasSubstr("full.csv: cannot write the report: "));
    EXPECT_TRUE(fs::exists(out + "/big.bin"));
    for (const char* end : {"", ".md5", ".sha256"}) EXPECT_FALSE(fs::exists(d + "/full.csv" + end));
}

}  // namespace
}  // namespace qm::test
