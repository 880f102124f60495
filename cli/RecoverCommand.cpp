// quillmere-cli recover: scans the source again, chooses the rows asked for
// and writes their contents into the output folder, with an evidence report
// when asked.
#include <charconv>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "cli/CliCommon.h"
#include "cli/RecoverPlan.h"
#include "cli/RecoverRun.h"
#include "cli/Report.h"
#include "scan/Filter.h"

namespace qm::cli {
namespace {

// The folder itself, or its nearest ancestor that exists (where it would be made).
std::string ExistingFolderOf(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(folder), ec);
    if (ec) p = fs::path(folder);
    while (!p.empty() && !fs::exists(p, ec)) {
        fs::path parent = p.parent_path();
        if (parent == p) break;
        p = parent;
    }
    return p.empty() ? folder : p.string();
}

// Refuses a folder on the source and makes the folder. Returns an exit status
// on failure; `created` says whether this run made it.
std::optional<int> PrepareFolder(const RecoverArgs& a, const std::string& source, bool& created,
                                 Messages& msg) {
    namespace fs = std::filesystem;
    if (!a.allowSameVolume && FolderIsOnSourceChecked(ExistingFolderOf(a.outDir), source)) {
        msg.Say(a.outDir + " lies on the volume being read (" + source +
                "): writing there may overwrite the deleted files being recovered. Choose a "
                "folder on another volume, or pass --allow-same-volume to write there anyway.");
        return kExitFailed;
    }
    std::error_code ec;
    created = fs::create_directories(a.outDir, ec);
    if (ec || !fs::is_directory(a.outDir, ec)) {
        msg.Say(a.outDir + ": cannot create the output folder" + (ec ? ": " + ec.message() : ""));
        return kExitFailed;
    }
    return std::nullopt;
}

// A folder this run made and left empty goes again.
void RemoveIfMadeAndEmpty(const std::string& folder, bool created) {
    std::error_code ec;
    if (created && std::filesystem::is_empty(folder, ec) && !ec)
        std::filesystem::remove(folder, ec);
}

// The report's checks before anything is written, the output folder, then
// the report's temporary files. Returns an exit status on failure.
std::optional<int> PrepareOutputs(const RecoverArgs& a, const std::string& source, bool& created,
                                  std::unique_ptr<EvidenceReport>& report, Messages& msg) {
    if (!a.report.empty()) {
        std::function<bool(const std::string&)> onSource;
        if (!a.allowSameVolume)
            onSource = [&](const std::string& folder) {
                return FolderIsOnSourceChecked(ExistingFolderOf(folder), source);
            };
        if (auto why = ReportRefusal(a.report, a.outDir, a.overwrite, onSource)) {
            msg.Say(*why);
            return kExitFailed;
        }
    }
    if (auto status = PrepareFolder(a, source, created, msg)) return status;
    if (a.report.empty()) return std::nullopt;
    report = std::make_unique<EvidenceReport>(OutputFiles(), a.report, *ReportFormatOf(a.report),
                                              a.overwrite, a.outDir, kNameText);
    if (auto why = report->Open()) {
        msg.Say(*why);
        report.reset();
        RemoveIfMadeAndEmpty(a.outDir, created);
        return kExitFailed;
    }
    return std::nullopt;
}

// Commits the report; a report that cannot be written fails the run.
int FinishReport(EvidenceReport& report, int status, Messages& msg) {
    std::vector<std::string> messages;
    const bool written = report.Commit(messages);
    for (const std::string& m : messages) msg.Say(m);
    return written || status == kExitStopped ? status : kExitFailed;
}

int Recover(const RecoverArgs& a, std::FILE* outFile, Messages& msg) {
    const std::uint64_t started = FileTimeNow();
    auto resolved = Resolve(a.source, msg, a.partition);
    if (auto* status = std::get_if<int>(&resolved)) return *status;
    OpenSource& src = std::get<OpenSource>(resolved);
    bool created = false;
    std::unique_ptr<EvidenceReport> report;
    if (auto status = PrepareOutputs(a, src.source, created, report, msg)) return *status;

    // A fresh scan, its rows held until the walk has resolved their folders.
    ProgressBar bar(msg.file(), IsTerminal(msg.file()));
    std::vector<Wanted> rows;
    std::uint64_t files = 0;
    ScanRunner runner(bar, nullptr, [&](ScanRow&& row) {
        // File_N counts the file rows; a stream has its file's number.
        if (row.kind == RowKind::File) ++files;
        rows.push_back({files - (files > 0), std::move(row)});
    });
    ScanOptions scanOptions;
    scanOptions.foldersAndStreams = true;
    ScanSummary summary = RunScan(*src.volume, runner, g_stop, scanOptions);
    bar.Clear();
    if (auto status = ReportScanEnd(summary, runner, src.source, msg)) {
        report.reset();  // its temporary files go
        RemoveIfMadeAndEmpty(a.outDir, created);
        return *status;
    }
    if (report)
        report->Begin({src.source, src.volume->Size(), summary.setup.info->boot.serial, started});
    std::set<Asked> found;
    const Selection selection{a.all, a.streams, a.keepPaths, a.asked, &a.filter};
    const std::vector<Wanted> wanted = Choose(std::move(rows), summary, selection, found);

    OutputBuffer out(outFile, IsTerminal(outFile));
    out.beforeWrite = [&] { bar.Clear(); };
    FolderOutput folder(OutputFiles(), a.outDir, a.overwrite, kNameText);
    RecoverRun run(a, out, bar, msg, folder);
    for (const Asked& asked : std::set<Asked>(a.asked.begin(), a.asked.end())) {
        if (found.count(asked)) continue;
        const std::string why = asked.stream.empty()
                                    ? "the scan lists no deleted file at this position"
                                    : "the scan lists no such stream at this position";
        run.GivenUp(AskedText(asked) + ": " + why);
        if (report) report->NotListed(asked.position, why);
    }
    PathPlanner paths(a.outDir, a.byNumber, a.overwrite, kNameText);
    run.SetReport(report.get());
    run.Plan(wanted, summary, paths);
    run.Run(*src.volume, summary.setup.info->geometry, &summary.setup.info->map);
    int status = run.Finish(summary.unreadable);
    paths.RemoveEmptyFolders();
    if (report) status = FinishReport(*report, status, msg);
    RemoveIfMadeAndEmpty(a.outDir, created);
    return status;
}

// The options of recover without a value: true when `s` was one.
bool TakeRecoverSwitch(const std::string& s, RecoverArgs& a) {
    const std::pair<const char*, bool*> switches[] = {
        {"--all", &a.all},
        {"--by-number", &a.byNumber},
        {"--allow-same-volume", &a.allowSameVolume},
        {"--overwrite", &a.overwrite},
        {"--raw", &a.raw},
        {"--streams", &a.streams},
        {"--keep-paths", &a.keepPaths},
    };
    for (const auto& [name, flag] : switches) {
        if (s != name) continue;
        *flag = true;
        return true;
    }
    if (s != "--no-times") return false;
    a.times = false;
    return true;
}

}  // namespace

int ParseRecover(const std::vector<std::string>& args, std::FILE* out, Messages& msg) {
    RecoverArgs a;
    std::vector<std::string> operands;
    bool haveOut = false, endOfOptions = false;
    std::set<Asked> seen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& s = args[i];
        if (endOfOptions || s.empty() || s[0] != '-' || s == "-") {
            operands.push_back(s);
        } else if (s == "--") {
            endOfOptions = true;
        } else if (TakeRecoverSwitch(s, a)) {
            continue;
        } else if (auto bad = TakePartition(args, i, "recover", a.partition)) {
            if (!bad->empty()) return msg.Usage(*bad);
        } else if (s == "--report" || s.rfind("--report=", 0) == 0) {
            if (s == "--report" && i + 1 >= args.size()) return msg.Usage("--report needs a file");
            a.report = s == "--report" ? args[++i] : s.substr(9);
            if (!ReportFormatOf(a.report))
                return msg.Usage(
                    "recover: --report takes a file name ending in .csv or .json, not " + a.report);
        } else if (s == "--jobs" || s.rfind("--jobs=", 0) == 0) {
            std::string n;
            if (s == "--jobs") {
                if (i + 1 >= args.size()) return msg.Usage("--jobs needs a number");
                n = args[++i];
            } else {
                n = s.substr(7);
            }
            unsigned v = 0;
            const auto r = std::from_chars(n.data(), n.data() + n.size(), v);
            if (r.ec != std::errc() || r.ptr != n.data() + n.size() || v < 1 || v > 16)
                return msg.Usage("recover: --jobs takes a number from 1 to 16, not " + n);
            a.jobs = v;
        } else if (s == "--out" || s.rfind("--out=", 0) == 0) {
            if (s == "--out") {
                if (i + 1 >= args.size()) return msg.Usage("--out needs a folder");
                a.outDir = args[++i];
            } else {
                a.outDir = s.substr(6);
            }
            haveOut = true;
        } else {
            auto taken = TakeFilterOption(args, i, a.filter);
            if (!taken) return msg.Usage("recover: " + taken.error().message);
            if (!*taken) return msg.Usage("recover: unknown option " + s);
        }
    }
    if (operands.empty()) return msg.Usage("recover: no SOURCE given");
    a.source = operands[0];
    if (!haveOut || a.outDir.empty()) return msg.Usage("recover: --out DIR is required");
    for (std::size_t i = 1; i < operands.size(); ++i) {
        auto p = ParseAsked(operands[i]);
        if (!p)
            return msg.Usage("recover: not a record position: " + operands[i] +
                             " (expected 0x... as scan prints it)");
        if (seen.insert(*p).second) a.asked.push_back(*p);
    }
    if (a.filter.Active() && !a.asked.empty())
        return msg.Usage("recover: positions and filters exclude each other");
    if (!a.filter.Active() && a.all == !a.asked.empty())
        return msg.Usage(a.all ? "recover: --all and positions exclude each other"
                               : "recover: give --all or the positions to recover");
    return Recover(a, out, msg);
}

}  // namespace qm::cli
