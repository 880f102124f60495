// The commands of quillmere-cli: sources, scan, recover.
//
// Conventions of the output:
// - Normal output goes to stdout; messages, the progress bar and the closing
//   counts go to stderr, each message prefixed "quillmere-cli: ".
// - scan prints a TSV header and one line per deleted file, or with --json one
//   JSON object per line. Times are UTC; a time the calendar cannot show (a
//   FILETIME of 2^63 or more) is an empty field in TSV and null in JSON.
// - scan ends with "N records could not be read" on stderr when the volume
//   failed to deliver some MFT records; a healthy volume adds nothing to stderr.
// - recover prints "position<TAB>path<TAB>bytes" per file written and ends with
//   "N files written, M given up, B bytes" on stderr. Files that share a name
//   overwrite one another, as in the window; the run says how many did. Given-up records (and
//   positions the scan did not list) are named on stderr and counted; they do not change the exit
//   status.
#include "cli/Cli.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <variant>
#include <vector>

#include "cli/Format.h"
#include "cli/Help.h"
#include "cli/ScanFormats.h"
#include "ntfs/Sources.h"
#include "platform/Platform.h"
#include "recover/RecoverBatch.h"
#include "recover/RecoverRecord.h"
#include "scan/ScanEngine.h"

namespace qm::cli {
namespace {

std::atomic<bool> g_stop{false};
std::function<bool(const std::string&, const std::string&)> g_folderIsOnSource;

class Messages {
public:
    explicit Messages(std::FILE* err) : err_(err) {}
    void Say(const std::string& text) {
        std::string line = "quillmere-cli: " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), err_);
        std::fflush(err_);
    }
    int Usage(const std::string& problem) {
        if (!problem.empty()) Say(problem);
        std::fputs(UsageText(), err_);
        return kExitUsage;
    }
    std::FILE* file() const { return err_; }

private:
    std::FILE* err_;
};

// Why `source` could not be opened, in words that name what to do.
std::string OpenProblem(const std::string& source, const Error& e) {
    switch (e.code) {
        case ErrorCode::NotFound:
            return source + ": no such file or device";
        case ErrorCode::PermissionDenied:
            return source + ": permission denied (reading a raw device needs root)";
        default:
            break;
    }
    const std::string path = ParseSourceSpec(source).path;
    std::string why = e.message;
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    return source + ": cannot open: " + why;
}

std::string Name8(const std::u16string& name) {
#ifdef _WIN32
    return Utf16ToAnsi(name);
#else
    return Utf16ToUtf8(name);  // file names on POSIX systems are UTF-8 by convention
#endif
}

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ---- Source resolution -----------------------------------------------------------

struct OpenSource {
    std::unique_ptr<RawVolume> volume;
    std::string source;  // the one opened: SOURCE, or SOURCE@OFFSET of its only NTFS partition
};

// The NTFS partition numbered `number` of the disk image SOURCE.
std::variant<OpenSource, int> ResolvePartition(const std::string& source, unsigned number,
                                               Messages& msg) {
    for (const SourceInfo& p : ExpandImage(source)) {
        if (p.partition != number) continue;
        auto part = OpenRawVolume(p.source);
        if (!part) {
            msg.Say(OpenProblem(p.source, part.error()));
            return kExitFailed;
        }
        return OpenSource{std::move(part).value(), p.source};
    }
    msg.Say(source + ": no NTFS partition numbered " + std::to_string(number) + " (sources " +
            source + " lists them)");
    return kExitFailed;
}

// Opens SOURCE; an image of a whole disk with one NTFS partition stands for that
// partition, and `partition` (1 on) picks one of several. Returns an exit status
// on failure.
std::variant<OpenSource, int> Resolve(const std::string& source, Messages& msg,
                                      unsigned partition = 0) {
    auto opened = OpenRawVolume(source);
    if (!opened) {
        msg.Say(OpenProblem(source, opened.error()));
        return kExitFailed;
    }
    OpenSource s{std::move(opened).value(), source};
    if (partition != 0) return ResolvePartition(source, partition, msg);
    if (LooksLikeNtfs(*s.volume)) return s;

    auto parts = ExpandImage(source);
    if (parts.size() > 1) {
        msg.Say(source + " holds " + std::to_string(parts.size()) +
                " NTFS partitions; name one of them as SOURCE, or pick one with --partition N:");
        for (const SourceInfo& p : parts) {
            std::string line = "  " + p.source + "\t" + std::to_string(p.size) + "\t" + p.label +
                               "\t" + std::to_string(p.partition) + "\n";
            std::fputs(line.c_str(), msg.file());
        }
        return kExitUsage;
    }
    if (parts.size() == 1) {
        auto part = OpenRawVolume(parts[0].source);
        if (!part) {
            msg.Say(OpenProblem(parts[0].source, part.error()));
            return kExitFailed;
        }
        msg.Say(source + ": reading its NTFS partition " + parts[0].source);
        return OpenSource{std::move(part).value(), parts[0].source};
    }
    if (!ReadPartitionTable(*s.volume).empty()) {
        msg.Say(source + ": not an NTFS volume, and its partition table lists no NTFS partition");
        return kExitFailed;
    }
    return s;  // no partition table either: the set-up says why it is not NTFS
}

// ---- Scan ------------------------------------------------------------------------

// Runs the scan, handing rows to `onRow`, with a progress bar. Returns the
// summary; messages about set-up stops and unreadable records are the caller's.
class ScanRunner final : public ScanObserver {
public:
    ScanRunner(ProgressBar& bar, std::function<void()> onStart,
               std::function<void(ScanRow&&)> onRow)
        : bar_(bar), onStart_(std::move(onStart)), onRow_(std::move(onRow)) {}
    void OnWalkStart(std::int64_t recordCount) override {
        total_ = recordCount > 16 ? static_cast<std::uint64_t>(recordCount - 16) : 0;
        if (onStart_) onStart_();
        bar_.Start("scanning  ", total_);
    }
    void OnRow(ScanRow&& row) override { onRow_(std::move(row)); }
    void OnProgress(std::int64_t done) override { bar_.Update(static_cast<std::uint64_t>(done)); }
    std::uint64_t total() const { return total_; }

private:
    ProgressBar& bar_;
    std::function<void()> onStart_;
    std::function<void(ScanRow&&)> onRow_;
    std::uint64_t total_ = 0;
};

// Messages at the end of a scan. Returns the exit status when the scan did not
// get past its set-up or was stopped.
std::optional<int> ReportScanEnd(const ScanSummary& s, const ScanRunner& runner,
                                 const std::string& source, Messages& msg) {
    // Which backup copies stood in for a damaged boot sector or MFT record 0.
    for (const std::string& note : s.setup.notes) msg.Say(source + ": " + note);
    if (s.setup.stop != SetupStop::None) {
        msg.Say(source + ": " +
                (s.setup.reason.empty() ? "the MFT cannot be read" : s.setup.reason));
        return kExitFailed;
    }
    if (s.unreadable > 0)
        msg.Say(source + ": " + Plural(s.unreadable, "record", "records") + " could not be read");
    if (s.stopped) {
        msg.Say("stopped after " + std::to_string(s.recordsWalked) + " of " +
                std::to_string(runner.total()) + " records");
        return kExitStopped;
    }
    return std::nullopt;
}

// The row's name in UTF-8, in a buffer kept from row to row.
const std::string& NameUtf8(const std::u16string& name) {
    thread_local std::string text;
    text.resize(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] >= 0x80) {
            text = Utf16ToUtf8(name);
            break;
        }
        text[i] = static_cast<char>(name[i]);
    }
    return text;
}

// A row is put together in one scratch buffer with room for its longest form
// and added to the output in one piece.
char* RowScratch(std::size_t nameBytes, std::size_t perByte) {
    thread_local std::vector<char> scratch;
    // The name and its type, escaped, and the rest of the row.
    const std::size_t most = 2 * (perByte * nameBytes + 2) + 512;
    if (scratch.size() < most) scratch.resize(most);
    return scratch.data();
}

void AppendTsvRow(std::string& out, const ScanRow& row) {
    const std::string& name = NameUtf8(row.name);
    char* const start = RowScratch(name.size(), kTsvPerByte);
    char* p = PutPosition(start, row.position);
    *p++ = '\t';
    p = PutUnsigned(p, row.record);
    *p++ = '\t';
    p = PutTsvField(p, name);
    *p++ = '\t';
    p = PutTsvField(p, ExtensionOf(name));
    *p++ = '\t';
    p = PutUnsigned(p, row.size);
    *p++ = '\t';
    if (char* end = PutIsoUtc(p, row.created)) p = end;
    *p++ = '\t';
    if (char* end = PutIsoUtc(p, row.modified)) p = end;
    *p++ = '\n';
    out.append(start, p);
}

char* PutJsonTime(char* p, std::uint64_t fileTime) {
    *p++ = '"';
    if (char* end = PutIsoUtc(p, fileTime)) {
        *end++ = '"';
        return end;
    }
    std::memcpy(p - 1, "null", 4);
    return p + 3;
}

void AppendJsonRow(std::string& out, const ScanRow& row) {
    const std::string& name = NameUtf8(row.name);
    char* const start = RowScratch(name.size(), kJsonPerByte);
    auto text = [](char* p, std::string_view t) {
        std::memcpy(p, t.data(), t.size());
        return p + t.size();
    };
    char* p = text(start, "{\"position\":\"");
    p = PutPosition(p, row.position);
    p = text(p, "\",\"record\":");
    p = PutUnsigned(p, row.record);
    p = text(p, ",\"name\":");
    p = PutJsonString(p, name);
    p = text(p, ",\"type\":");
    p = PutJsonString(p, ExtensionOf(name));
    p = text(p, ",\"size\":");
    p = PutUnsigned(p, row.size);
    p = text(p, ",\"created\":");
    p = PutJsonTime(p, row.created);
    p = text(p, ",\"modified\":");
    p = PutJsonTime(p, row.modified);
    p = text(p, "}\n");
    out.append(start, p);
}

int OutputFailed(const OutputBuffer& out, Messages& msg) {
    if (!out.failed()) return kExitOk;
    msg.Say(std::string("cannot write the output: ") + std::strerror(out.error()));
    return kExitFailed;
}

// Puts the rows in the chosen form: a header or an opening before the first,
// the rows, and a closing after the last.
class RowPrinter {
public:
    explicit RowPrinter(ScanFormat format) : format_(format) {}
    void Begin(std::string& out) const {
        if (format_ == ScanFormat::Tsv)
            out += "position\trecord\tname\ttype\tsize\tcreated\tmodified\n";
        else if (format_ == ScanFormat::Csv)
            AppendCsvHeader(out);
        else if (format_ == ScanFormat::Json)
            out += "[\n";
    }
    void Row(std::string& out, const ScanRow& row) {
        switch (format_) {
            case ScanFormat::Tsv:
                AppendTsvRow(out, row);
                break;
            case ScanFormat::Csv:
                AppendCsvRow(out, row, NameUtf8(row.name));
                break;
            case ScanFormat::Json:
                if (rows_ > 0) out += ",\n";
                AppendJsonRow(out, row);
                out.pop_back();  // the line's end comes with the next row or the closing
                break;
            case ScanFormat::Jsonl:
                AppendJsonRow(out, row);
                break;
            case ScanFormat::Bodyfile:
                AppendBodyRows(out, row, NameUtf8(row.name));
                break;
        }
        ++rows_;
    }
    // Only a JSON document has a closing; a scan that did not start has none.
    void End(std::string& out) const {
        if (format_ == ScanFormat::Json) out += rows_ > 0 ? "\n]\n" : "]\n";
    }

private:
    ScanFormat format_;
    std::uint64_t rows_ = 0;
};

int Scan(const std::string& source, unsigned partition, ScanFormat format, std::FILE* outFile,
         Messages& msg) {
    auto resolved = Resolve(source, msg, partition);
    if (auto* status = std::get_if<int>(&resolved)) return *status;
    OpenSource& src = std::get<OpenSource>(resolved);

    ProgressBar bar(msg.file(), IsTerminal(msg.file()));
    OutputBuffer out(outFile, IsTerminal(outFile));
    out.beforeWrite = [&] { bar.Clear(); };
    RowPrinter printer(format);
    bool started = false;
    ScanRunner runner(
        bar,
        [&] {
            started = true;
            printer.Begin(out.text());
            out.LineDone();
        },
        [&](ScanRow&& row) {
            printer.Row(out.text(), row);
            out.LineDone();
        });
    ScanSummary summary = RunScan(*src.volume, runner, g_stop);
    if (started) printer.End(out.text());
    out.Flush();
    bar.Clear();
    if (auto status = ReportScanEnd(summary, runner, src.source, msg)) return *status;
    return OutputFailed(out, msg);
}

// ---- Sources ---------------------------------------------------------------------

int Sources(const std::vector<std::string>& images, std::FILE* outFile, Messages& msg) {
    int status = kExitOk;
    std::vector<std::string> readable;
    for (const std::string& image : images) {
        auto opened = OpenRawVolume(image);
        if (!opened) {
            msg.Say(OpenProblem(image, opened.error()));
            status = kExitFailed;
            continue;
        }
        readable.push_back(image);
    }
    OutputBuffer out(outFile, false);
    std::set<std::string> listed;
    for (const SourceInfo& s : DiscoverSources(readable)) {
        out.text() += s.source + "\t";
        AppendUnsigned(out.text(), s.size);
        out.text() += "\t";
        AppendTsvField(out.text(), s.label);
        out.text() += "\t";
        if (s.partition != 0) {
            AppendUnsigned(out.text(), s.partition);
            out.text() += "\t";
            AppendUnsigned(out.text(), s.start);
        } else {
            out.text() += "\t";
        }
        out.text() += "\n";
        listed.insert(ParseSourceSpec(s.source).path);
    }
    out.Flush();
    for (const std::string& image : readable)
        if (!listed.count(image) && !listed.count(ParseSourceSpec(image).path))
            msg.Say(image + ": no NTFS volume or partition found");
    if (out.failed()) return OutputFailed(out, msg);
    return status;
}

// ---- Recover ---------------------------------------------------------------------

struct RecoverArgs {
    std::string source, outDir;
    bool all = false, byNumber = false, allowSameVolume = false;
    unsigned jobs = 1;                     // files written at a time
    std::vector<std::uint64_t> positions;  // in the order given, without repeats
};

bool FolderIsOnSourceChecked(const std::string& folder, const std::string& source) {
    if (g_folderIsOnSource) return g_folderIsOnSource(folder, source);
    return FolderIsOnSource(folder, source);
}

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

struct Wanted {
    std::uint64_t index;  // the row's index in scan order
    ScanRow row;
};

int Recover(const RecoverArgs& a, std::FILE* outFile, Messages& msg) {
    namespace fs = std::filesystem;
    auto resolved = Resolve(a.source, msg);
    if (auto* status = std::get_if<int>(&resolved)) return *status;
    OpenSource& src = std::get<OpenSource>(resolved);

    if (!a.allowSameVolume && FolderIsOnSourceChecked(ExistingFolderOf(a.outDir), src.source)) {
        msg.Say(a.outDir + " lies on the volume being read (" + src.source +
                "): writing there may overwrite the deleted files being recovered. Choose a "
                "folder on another volume, or pass --allow-same-volume to write there anyway.");
        return kExitFailed;
    }
    std::error_code ec;
    const bool created = fs::create_directories(a.outDir, ec);
    if (ec || !fs::is_directory(a.outDir, ec)) {
        msg.Say(a.outDir + ": cannot create the output folder" + (ec ? ": " + ec.message() : ""));
        return kExitFailed;
    }

    // A fresh scan, keeping the rows asked for.
    ProgressBar bar(msg.file(), IsTerminal(msg.file()));
    std::map<std::uint64_t, bool> asked;  // position -> seen in the scan
    for (std::uint64_t p : a.positions) asked[p] = false;
    std::vector<Wanted> wanted;
    std::uint64_t index = 0;
    ScanRunner runner(bar, nullptr, [&](ScanRow&& row) {
        const std::uint64_t i = index++;
        if (!a.all) {
            auto it = asked.find(row.position);
            if (it == asked.end()) return;
            it->second = true;
        }
        wanted.push_back({i, std::move(row)});
    });
    ScanSummary summary = RunScan(*src.volume, runner, g_stop);
    bar.Clear();
    if (auto status = ReportScanEnd(summary, runner, src.source, msg)) {
        if (created && summary.setup.stop != SetupStop::None) fs::remove(a.outDir, ec);
        return *status;
    }
    const VolumeGeometry geometry = summary.setup.info->geometry;

    std::uint64_t written = 0, givenUp = 0, bytes = 0;
    for (const auto& [position, seen] : asked) {
        if (seen) continue;
        msg.Say(PositionText(position) + ": the scan lists no deleted file at this position");
        ++givenUp;
    }

    OutputBuffer out(outFile, IsTerminal(outFile));
    out.beforeWrite = [&] { bar.Clear(); };
    std::set<std::string> paths;  // written by this run, to count names used twice
    std::uint64_t replaced = 0;
    bool stopped = false;
    std::vector<RecoverJob> jobs;
    jobs.reserve(wanted.size());
    for (const Wanted& w : wanted) {
        const std::string name8 = Name8(w.row.name);
        // A file without a name keeps its number: the folder itself is no file name.
        jobs.push_back({w.row.position, a.byNumber || name8.empty()
                                            ? OutputPathByNumber(a.outDir, w.index)
                                            : OutputPathByName(a.outDir, name8)});
    }
    bar.Start("recovering", jobs.size());
    RecoverBatchOptions options;
    options.workers = a.jobs;
    options.stop = &g_stop;
    options.mft = &summary.setup.info->map;
    RecoverBatch(*src.volume, geometry, jobs, DefaultOutputFactory(), options,
                 [&](std::size_t k, const RecoverResult& r) {
                     const std::string position = PositionText(jobs[k].position);
                     const std::string& path = jobs[k].path;
                     if (r.status == RecoverStatus::Cancelled) {
                         stopped = true;
                     } else if (r.status == RecoverStatus::Written) {
                         if (!paths.insert(path).second) ++replaced;
                         ++written;
                         bytes += r.bytes;
                         out.text() += position + "\t";
                         AppendTsvField(out.text(), path);
                         out.text() += "\t";
                         AppendUnsigned(out.text(), r.bytes);
                         out.text() += "\n";
                         out.LineDone();
                     } else {
                         out.Flush();
                         bar.Clear();
                         msg.Say(position + ": given up: " + RecoverStatusText(r.status) +
                                 (r.detail.empty() ? "" : " (" + r.detail + ")"));
                         ++givenUp;
                     }
                     bar.Update(k + 1);
                 });
    out.Flush();
    bar.Clear();
    if (!DefaultOutputFactory().Finish()) {
        msg.Say(a.outDir +
                ": the file system reported a write error while flushing; "
                "the files written may be incomplete");
        return 1;
    }
    msg.Say(Plural(static_cast<std::int64_t>(written), "file", "files") + " written, " +
            std::to_string(givenUp) + " given up, " +
            Plural(static_cast<std::int64_t>(bytes), "byte", "bytes"));
    if (replaced > 0)
        msg.Say(Plural(static_cast<std::int64_t>(replaced), "file", "files") +
                " replaced an earlier file of the same name; --by-number keeps every file");
    if (stopped) {
        msg.Say("stopped");
        return kExitStopped;
    }
    return OutputFailed(out, msg);
}

// ---- Arguments -------------------------------------------------------------------

// "0x" or "0X" and 1 to 16 hexadecimal digits.
std::optional<std::uint64_t> PositionArg(const std::string& text) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return std::nullopt;
    return ParsePosition(text);
}

int ParseRecover(const std::vector<std::string>& args, std::FILE* out, Messages& msg) {
    RecoverArgs a;
    std::vector<std::string> operands;
    bool haveOut = false, endOfOptions = false;
    std::set<std::uint64_t> seen;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& s = args[i];
        if (endOfOptions || s.empty() || s[0] != '-' || s == "-") {
            operands.push_back(s);
        } else if (s == "--") {
            endOfOptions = true;
        } else if (s == "--all") {
            a.all = true;
        } else if (s == "--by-number") {
            a.byNumber = true;
        } else if (s == "--allow-same-volume") {
            a.allowSameVolume = true;
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
            return msg.Usage("recover: unknown option " + s);
        }
    }
    if (operands.empty()) return msg.Usage("recover: no SOURCE given");
    a.source = operands[0];
    if (!haveOut || a.outDir.empty()) return msg.Usage("recover: --out DIR is required");
    for (std::size_t i = 1; i < operands.size(); ++i) {
        auto p = PositionArg(operands[i]);
        if (!p)
            return msg.Usage("recover: not a record position: " + operands[i] +
                             " (expected 0x... as scan prints it)");
        if (seen.insert(*p).second) a.positions.push_back(*p);
    }
    if (a.all == !a.positions.empty())
        return msg.Usage(a.all ? "recover: --all and positions exclude each other"
                               : "recover: give --all or the positions to recover");
    return Recover(a, out, msg);
}

int ParseScan(const std::vector<std::string>& args, std::FILE* out, Messages& msg) {
    ScanFormat format = ScanFormat::Tsv;
    unsigned partition = 0;
    std::vector<std::string> operands;
    bool endOfOptions = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& s = args[i];
        if (endOfOptions || s.empty() || s[0] != '-' || s == "-") {
            operands.push_back(s);
        } else if (s == "--") {
            endOfOptions = true;
        } else if (s == "--json") {
            format = ScanFormat::Jsonl;
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
            format = *f;
        } else if (s == "--partition" || s.rfind("--partition=", 0) == 0) {
            std::string n;
            if (s == "--partition") {
                if (i + 1 >= args.size()) return msg.Usage("scan: --partition needs a number");
                n = args[++i];
            } else {
                n = s.substr(12);
            }
            const auto r = std::from_chars(n.data(), n.data() + n.size(), partition);
            if (r.ec != std::errc() || r.ptr != n.data() + n.size() || partition == 0)
                return msg.Usage("scan: --partition takes a partition number (1 on), not " + n);
        } else {
            return msg.Usage("scan: unknown option " + s);
        }
    }
    if (operands.size() != 1)
        return msg.Usage(operands.empty() ? "scan: no SOURCE given" : "scan: one SOURCE at a time");
    return Scan(operands[0], partition, format, out, msg);
}

}  // namespace

void RequestStop() {
    g_stop.store(true, std::memory_order_relaxed);
}

void SetFolderIsOnSourceForTesting(std::function<bool(const std::string&, const std::string&)> fn) {
    g_folderIsOnSource = std::move(fn);
}

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Messages msg(err);
    g_stop.store(false);
    if (args.empty()) return msg.Usage("");
    const std::string& cmd = args[0];
    if (cmd == "--version" || cmd == "-V") {
        std::fputs(VersionText().c_str(), out);
        return kExitOk;
    }
    if (cmd == "help") {
        if (args.size() == 1) {
            std::fputs(GlobalHelp().c_str(), out);
            return kExitOk;
        }
        auto text = CommandHelp(args[1]);
        if (!text) return msg.Usage("help: unknown command " + args[1]);
        std::fputs(text->c_str(), out);
        return kExitOk;
    }
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            auto text = CommandHelp(cmd);
            std::fputs(text ? text->c_str() : GlobalHelp().c_str(), out);
            return kExitOk;
        }
    }
    if (cmd == "sources") {
        std::vector<std::string> images;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--") continue;
            if (!args[i].empty() && args[i][0] == '-' && args[i] != "-")
                return msg.Usage("sources: unknown option " + args[i]);
            images.push_back(args[i]);
        }
        return Sources(images, out, msg);
    }
    if (cmd == "scan") return ParseScan(args, out, msg);
    if (cmd == "recover") return ParseRecover(args, out, msg);
    if (!cmd.empty() && cmd[0] == '-') return msg.Usage("unknown option " + cmd);
    return msg.Usage("unknown command " + cmd);
}

}  // namespace qm::cli
