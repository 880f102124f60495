// quillmere-cli scan: lists the deleted files of a source in one of the
// listing's forms, each with its path once the walk has resolved its folder.
#include <optional>
#include <string>
#include <vector>

#include "cli/CliCommon.h"
#include "cli/HeldRows.h"
#include "cli/ListingRows.h"
#include "cli/ScanFormats.h"
#include "scan/Filter.h"

namespace qm::cli {
namespace {

struct ScanArgs {
    std::string source;
    unsigned partition = 0;
    ScanFormat format = ScanFormat::Tsv;
    bool streams = false;  // stream rows in TSV, CSV and the body file too (JSON always has them)
    RowFilter filter;
};

// Prints the rows kept, now that the walk has resolved their folders. Rows of
// one folder mostly follow one another: its text is worked out once for them.
void PrintRows(const HeldRows& rows, const ScanSummary& summary, const ScanArgs& a,
               OutputBuffer& out) {
    RowPrinter printer(a.format);
    printer.Begin(out.text());
    out.LineDone();
    RowExtras x;
    FolderPath folder;
    std::string folder8;
    std::optional<std::uint64_t> lastParent;
    ScanRow row;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows.Get(i, row);
        if (row.kind == RowKind::Folder || lastParent != row.parent) {
            folder = RowFolder(summary, row);
            folder8 = NameUtf8(folder.text);
            lastParent = row.kind == RowKind::Folder ? std::nullopt : std::optional(row.parent);
        }
        const bool taken = a.filter.path
                               ? a.filter.Matches(row, RowPath(folder, row), folder.orphan)
                               : a.filter.Matches(row, {}, folder.orphan);
        if (!taken) continue;
        x.name = RowName(row);
        x.path = folder8;
        x.path += '/';
        x.path += x.name;
        x.flags = FlagsText(row, folder.orphan);
        printer.Row(out.text(), row, x);
        out.LineDone();
    }
    printer.End(out.text());
}

// The paths are known once the walk has ended: rows are held until then.
int Scan(const ScanArgs& a, std::FILE* outFile, Messages& msg) {
    auto resolved = Resolve(a.source, msg, a.partition);
    if (auto* status = std::get_if<int>(&resolved)) return *status;
    OpenSource& src = std::get<OpenSource>(resolved);

    ProgressBar bar(msg.file(), IsTerminal(msg.file()));
    OutputBuffer out(outFile, IsTerminal(outFile));
    out.beforeWrite = [&] { bar.Clear(); };
    HeldRows rows(a.format == ScanFormat::Bodyfile);
    const bool streams = a.streams || a.format == ScanFormat::Json || a.format == ScanFormat::Jsonl;
    ScanRunner runner(bar, nullptr, [&](ScanRow&& row) {
        if (row.kind == RowKind::Stream && !streams) return;
        if (a.filter.MatchesWithoutPath(row)) rows.Add(row);
    });
    ScanOptions options;
    options.foldersAndStreams = true;
    ScanSummary summary = RunScan(*src.volume, runner, g_stop, options);
    bar.Clear();
    if (summary.setup.stop == SetupStop::None) PrintRows(rows, summary, a, out);
    out.Flush();
    if (auto status = ReportScanEnd(summary, runner, src.source, msg)) return *status;
    if (out.failed()) return OutputFailed(out, msg);
    return summary.unreadable > 0 ? kExitPartial : kExitOk;
}

}  // namespace

int ParseScan(const std::vector<std::string>& args, std::FILE* out, Messages& msg) {
    ScanArgs a;
    std::vector<std::string> operands;
    bool endOfOptions = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& s = args[i];
        if (endOfOptions || s.empty() || s[0] != '-' || s == "-") {
            operands.push_back(s);
            continue;
        }
        if (s == "--") {
            endOfOptions = true;
        } else if (s == "--json") {
            a.format = ScanFormat::Jsonl;
        } else if (s == "--streams") {
            a.streams = true;
        } else if (s == "--format" || s.rfind("--format=", 0) == 0) {
            std::string name;
            if (s == "--format") {
                if (i + 1 >= args.size()) return msg.Usage("scan: --format needs a format");
                name = args[++i];
            } else {
                name = s.substr(9);
            }
            auto f = ParseScanFormat(name);
            if (!f)
                return msg.Usage("scan: unknown format " + name + " (one of " + ScanFormatNames() +
                                 ")");
            a.format = *f;
        } else if (auto bad = TakePartition(args, i, "scan", a.partition)) {
            if (!bad->empty()) return msg.Usage(*bad);
        } else {
            auto taken = TakeFilterOption(args, i, a.filter);
            if (!taken) return msg.Usage("scan: " + taken.error().message);
            if (!*taken) return msg.Usage("scan: unknown option " + s);
        }
    }
    if (operands.size() != 1)
        return msg.Usage(operands.empty() ? "scan: no SOURCE given" : "scan: one SOURCE at a time");
    a.source = operands[0];
    return Scan(a, out, msg);
}

}  // namespace qm::cli
