// recover's trees, streams and times, run as a program on a crafted volume:
// deleted folders with files of the same name, named streams, folder names
// that try to leave the output folder, an orphan, and a link planted in the
// output folder.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "scan/ScanEngine.h"
#include "tests/support/VolumeBuilder.h"

namespace qm::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr std::uint64_t kCreated = 127225584294520000;   // 2004-02-29T20:00:29.452Z
constexpr std::uint64_t kModified = 132223104001234567;  // 2020-01-01T00:00:00.1234567Z
constexpr std::int64_t kModifiedUnixSec = 1577836800;
constexpr long kModifiedNsec = 123456700;

std::uint64_t Ref(std::uint64_t record, std::uint16_t sequence) {
    return record | (std::uint64_t{sequence} << 48);
}

// Deleted folders: /docs (20) with /docs/sub (21), "..", "a/b"; files:
// /docs/readme.txt with a stream, /readme.txt, /docs/sub/deep.txt, /../x,
// /a_b/y, and an orphan whose folder record holds nothing.
class Tree : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "qmtree-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        Folder(20, u"docs", kRootReference);
        Folder(21, u"sub", Ref(20, 1));
        Folder(25, u"..", kRootReference);
        Folder(27, u"a/b", kRootReference);
        vb_.Record(22, vb_.NewRecord(22)
                           .StandardInformation(kCreated, kModified)
                           .FileName(u"readme.txt", 1, Ref(20, 1))
                           .ResidentData(BytesOf("in docs"))
                           .ResidentData(BytesOf("hidden words"), u"secret")
                           .Build());
        File(23, u"readme.txt", kRootReference, "at the top");
        File(24, u"deep.txt", Ref(21, 1), "deep down");
        File(26, u"x", Ref(25, 1), "dot dot");
        File(28, u"y", Ref(27, 1), "slash");
        File(29, u"orph.txt", Ref(40, 3), "no folder");
        image_ = (dir_ / "vol.img").string();
        const Bytes volume = vb_.Build();
        std::ofstream(image_, std::ios::binary)
            .write(reinterpret_cast<const char*>(volume.data()), volume.size());
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Folder(std::uint32_t n, std::u16string name, std::uint64_t parent) {
        vb_.Record(n, vb_.NewRecord(n)
                          .Flags(2)
                          .SequenceNumber(2)
                          .StandardInformation(kCreated, kCreated)
                          .FileName(name, 1, parent)
                          .Build());
    }
    void File(std::uint32_t n, std::u16string name, std::uint64_t parent, const char* text) {
        vb_.Record(n, vb_.NewRecord(n)
                          .StandardInformation(kCreated, kModified)
                          .FileName(name, 1, parent)
                          .ResidentData(BytesOf(text))
                          .Build());
    }
    std::string Position(std::uint64_t record) const {
        return PositionText(vb_.RecordOffset(record));
    }

    struct Outcome {
        int status;
        std::string out, err;
    };
    Outcome Cmd(std::vector<std::string> args) {
        const fs::path o = dir_ / "stdout", e = dir_ / "stderr";
        pid_t pid = ::fork();
        if (pid == 0) {
            int fo = ::open(o.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int fe = ::open(e.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fo, 1);
            ::dup2(fe, 2);
            std::vector<char*> argv{const_cast<char*>(QM_CLI_BINARY)};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(QM_CLI_BINARY, argv.data());
            ::_exit(127);
        }
        int st = 0;
        ::waitpid(pid, &st, 0);
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, Slurp(o), Slurp(e)};
    }
    static std::string Slurp(const fs::path& p) {
        std::ifstream f(p, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    // Every file under `root` (links not followed) by its path from there, with its content.
    static std::map<std::string, std::string> Listing(const fs::path& root) {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (e.is_symlink())
                files[e.path().lexically_relative(root).string()] = "-> link";
            else if (e.is_regular_file())
                files[e.path().lexically_relative(root).string()] = Slurp(e.path());
        }
        return files;
    }

    VolumeBuilder vb_;
    fs::path dir_;
    std::string image_;
};

using Files = std::map<std::string, std::string>;

TEST_F(Tree, KeepPathsWritesEveryFileAndStreamUnderItsFoldersInsideTheOutput) {
    const fs::path out = dir_ / "out";
    Outcome r = Cmd({"recover", image_, "--out", out.string(), "--all", "--keep-paths", "--streams",
                     "--jobs=4"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(out), (Files{{"docs/readme.txt", "in docs"},
                                   {"docs/readme.txt_secret", "hidden words"},
                                   {"readme.txt", "at the top"},
                                   {"docs/sub/deep.txt", "deep down"},
                                   {"__/x", "dot dot"},
                                   {"a_b/y", "slash"},
                                   {"$Orphan/orph.txt", "no folder"}}));
    EXPECT_THAT(r.out, HasSubstr(Position(22) + "\t" + (out / "docs/readme.txt_secret").string() +
                                 "\t12\n"));
    EXPECT_THAT(r.err, HasSubstr("7 files written, 0 damaged, 0 given up"));
}

TEST_F(Tree, WithoutTheNewOptionsFilesStayFlatAndStreamsStayOut) {
    const fs::path out = dir_ / "flat";
    Outcome r = Cmd({"recover", image_, "--out", out.string(), "--all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Listing(out), (Files{{"readme.txt", "in docs"},
                                   {"readme (1).txt", "at the top"},
                                   {"deep.txt", "deep down"},
                                   {"x", "dot dot"},
                                   {"y", "slash"},
                                   {"orph.txt", "no folder"}}));
}

TEST_F(Tree, ADeletedFolderOrOneStreamIsChosenByPositionOrFilter) {
    struct Case {
        const char* what;
        std::vector<std::string> choose;
        Files want;
    };
    const Files docs{{"docs/readme.txt", "in docs"}, {"docs/sub/deep.txt", "deep down"}};
    const Case cases[] = {
        {"the folder's position", {Position(20)}, docs},
        {"a filter on its path", {"--path", "/docs"}, docs},
        {"a filter on its name", {"--name", "DOCS"}, docs},
        {"a subfolder", {Position(21)}, {{"docs/sub/deep.txt", "deep down"}}},
        {"the folder and its streams",
         {Position(20), "--streams"},
         {{"docs/readme.txt", "in docs"},
          {"docs/readme.txt_secret", "hidden words"},
          {"docs/sub/deep.txt", "deep down"}}},
        {"one stream by position",
         {Position(22) + ":secret"},
         {{"readme.txt_secret", "hidden words"}}},
        {"one stream by a filter",
         {"--streams", "--path", "*:secret"},
         {{"readme.txt_secret", "hidden words"}}},
        // A size says which files: the folder is not taken for its name.
        {"a filter with a size",
         {"--path", "/docs*", "--min-size", "1"},
         {{"readme.txt", "in docs"}, {"deep.txt", "deep down"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path out = dir_ / ("chosen" + std::to_string(n++));
        std::vector<std::string> args{"recover", image_, "--out", out.string()};
        args.insert(args.end(), c.choose.begin(), c.choose.end());
        Outcome r = Cmd(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Listing(out), c.want);
    }
    Outcome missing =
        Cmd({"recover", image_, "--out", (dir_ / "none").string(), Position(22) + ":nothing"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_THAT(missing.err, HasSubstr(Position(22) + ":nothing: the scan lists no such stream"));
}

TEST_F(Tree, ALinkPlantedInTheOutputFolderNeverRedirectsAWrite) {
    const fs::path out = dir_ / "out", outside = dir_ / "outside";
    fs::create_directories(out);
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, out / "docs");
    fs::create_symlink(outside / "file", out / "a_b");  // a dangling link as a level
    Outcome r = Cmd({"recover", image_, "--out", out.string(), "--all", "--keep-paths"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(Listing(out), (Files{{"docs", "-> link"},
                                   {"a_b", "-> link"},
                                   {"docs (1)/readme.txt", "in docs"},
                                   {"docs (1)/sub/deep.txt", "deep down"},
                                   {"readme.txt", "at the top"},
                                   {"__/x", "dot dot"},
                                   {"a_b (1)/y", "slash"},
                                   {"$Orphan/orph.txt", "no folder"}}));
}

TEST_F(Tree, RecoveredFilesCarryTheirOriginalTimesUnlessToldNot) {
    const fs::path out = dir_ / "times", plain = dir_ / "plain";
    ASSERT_EQ(Cmd({"recover", image_, "--out", out.string(), Position(23)}).status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((out / "readme.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, kModifiedUnixSec);
    EXPECT_EQ(st.st_mtim.tv_nsec, kModifiedNsec);
    EXPECT_EQ(st.st_atim.tv_sec,
              kModifiedUnixSec);  // the builder's access time is the modification's
    ASSERT_EQ(Cmd({"recover", image_, "--out", plain.string(), Position(23), "--no-times"}).status,
              0);
    ASSERT_EQ(::stat((plain / "readme.txt").c_str(), &st), 0);
    EXPECT_GT(st.st_mtim.tv_sec, kModifiedUnixSec + 86400);  // written now
}

}  // namespace
}  // namespace qm::test
