// The CLI's `recoverable` column against the percentage `ntfsundelete -s`
// (ntfs-3g) gives for the same deleted files, on volumes with overwritten
// files. Both count a file's clusters still free against the volume's bitmap,
// and for those files the figures agree. ntfsundelete defines its figure
// differently for the rest, which are left out of the comparison (its manual
// says so for the first two):
// - compressed and encrypted data streams (flag C or E): always 0 %, since it
//   cannot recover them; we give the share of their clusters still free;
// - folders (flag D): 0 %; we give folders no figure;
// - records with attributes missing (flag !, name <none>): a base record whose
//   name or data lie in extension records, and the extension records
//   themselves, each counted on its own; we list the file once, with its name
//   and the clusters of all its records.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "tests/integration/IntegrationSupport.h"

namespace qm::itest {
namespace {

struct UndeleteRow {
    std::string flags;  // F/D, N/R, C/E, !
    unsigned percent = 0;
    std::string name;
};

// The scan listing of `ntfsundelete -s IMAGE`, by inode.
std::map<std::uint64_t, UndeleteRow> ParseUndelete(const std::string& text) {
    static const std::regex line(R"(^(\d+)\s+(\S{4})\s+(\d+)%\s+\S+\s+\S+\s+\d+\s+(.*)$)");
    std::map<std::uint64_t, UndeleteRow> rows;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        rows[std::stoull(m[1])] = {m[2], static_cast<unsigned>(std::stoul(m[3])), m[4]};
    }
    return rows;
}

struct CliRow {
    std::string name, recoverable;
};

// The files of `quillmere-cli scan IMAGE` (TSV), by record.
std::map<std::uint64_t, CliRow> ParseCli(const std::string& text) {
    std::map<std::uint64_t, CliRow> rows;
    std::istringstream in(text);
    std::string l;
    std::getline(in, l);  // the heading
    while (std::getline(in, l)) {
        std::vector<std::string> f;
        std::stringstream fields(l);
        for (std::string x; std::getline(fields, x, '\t');) f.push_back(x);
        if (f.size() < 9 || f[3] == "folder") continue;
        rows[std::stoull(f[1])] = {f[2], f[8]};
    }
    return rows;
}

std::string Undelete() {
    for (const char* p : {"/usr/sbin/ntfsundelete", "/sbin/ntfsundelete"})
        if (fs::exists(p)) return p;
    return HaveCommand("ntfsundelete") ? "ntfsundelete" : "";
}

class NtfsUndelete : public ::testing::TestWithParam<const char*> {};

TEST_P(NtfsUndelete, RecoverableEqualsItsPercentageWhereBothMeanTheSame) {
    const std::string tool = Undelete();
    if (tool.empty()) GTEST_SKIP() << "ntfsundelete (package ntfs-3g) is not installed";
    const fs::path image = ImageDir() / (std::string(GetParam()) + ".img");
    if (!fs::exists(image)) GTEST_SKIP() << image << " was not made (qm-mkvolume is not built)";

    const auto undelete =
        RunCapture("LC_ALL=C.UTF-8 " + ShellQuote(tool) + " -s " + ShellQuote(image.string()));
    ASSERT_TRUE(undelete) << "ntfsundelete -s failed";
    const auto cli = RunCapture(ShellQuote(QM_CLI_BINARY) + " scan " + ShellQuote(image.string()));
    ASSERT_TRUE(cli) << "quillmere-cli scan failed";
    const auto theirs = ParseUndelete(*undelete);
    const auto ours = ParseCli(*cli);

    int compared = 0, overwritten = 0;
    for (const auto& [record, row] : theirs) {
        const bool file =
            row.flags[0] == 'F' && row.flags.find('!') == std::string::npos && row.name != "<none>";
        if (!file) continue;
        if (row.flags.find_first_of("CE") != std::string::npos) {
            EXPECT_EQ(row.percent, 0u) << record << " " << row.name;  // as its manual says
            continue;
        }
        SCOPED_TRACE(std::to_string(record) + " " + row.name);
        auto it = ours.find(record);
        ASSERT_NE(it, ours.end());
        EXPECT_EQ(it->second.name, row.name);
        EXPECT_EQ(it->second.recoverable, std::to_string(row.percent));
        ++compared;
        overwritten += row.percent < 100;
    }
    EXPECT_GT(compared, 0);
    if (std::string(GetParam()) == "content") {
        EXPECT_GE(overwritten, 2);  // one file overwritten in part, one wholly
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsUndelete,
                         ::testing::Values("content", "demo", "fragmented-mft", "c4096"));

}  // namespace
}  // namespace qm::itest
