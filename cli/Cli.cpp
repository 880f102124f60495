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
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <variant>
#include <vector>

#include "cli/Format.h"
#include "ntfs/Sources.h"
#include "platform/Platform.h"
#include "recover/RecoverBatch.h"
#include "recover/RecoverRecord.h"
#include "scan/Filter.h"
#include "scan/ScanEngine.h"

#ifndef QM_VERSION
#define QM_VERSION "dev"
#endif

namespace qm::cli {
namespace {

std::atomic<bool> g_stop{false};
std::function<bool(const std::string&, const std::string&)> g_folderIsOnSource;

constexpr const char* kUsage =
    "usage: quillmere-cli sources [IMAGE...]\n"
    "       quillmere-cli scan SOURCE [--json]\n"
    "       quillmere-cli recover SOURCE --out DIR [--by-number] [--allow-same-volume]\n"
    "                     [--jobs N] (--all | POSITION...)\n"
    "       quillmere-cli --help | --version\n";

constexpr const char* kHelp =
    "\n"
    "Finds deleted files on an NTFS volume and writes their contents out.\n"
    "\n"
    "SOURCE is a device (/dev/sdb1; reading one needs root), an image of a volume,\n"
    "an image of a whole disk with one NTFS partition, or IMAGE@OFFSET for the\n"
    "partition that starts OFFSET bytes into a disk image.\n"
    "\n"
    "  sources    the NTFS devices of this machine and the NTFS volumes in the\n"
    "             given images: source, size in bytes, label (tab-separated)\n"
    "  scan       the deleted files, one per line in record order: position,\n"
    "             record, name, type, size, created, modified (UTC)\n"
    "    --json     one JSON object per line instead of tab-separated text\n"
    "  recover    writes the files of a fresh scan into DIR (created if missing)\n"
    "    --out DIR            the output folder\n"
    "    --all                every deleted file the scan lists\n"
    "    POSITION...          the files at these positions, as scan prints them\n"
    "    --by-number          name the files File_N (N: the file's index in the\n"
    "                         scan) instead of their recorded names\n"
    "    --allow-same-volume  write into DIR even when it lies on the volume being\n"
    "                         read, where it may overwrite deleted files\n"
    "    --jobs N             write N files at a time (1 to 16, default 1); lines\n"
    "                         still come in scan order\n"
    "\n"
    "Exit status: 0 done, 1 the source or the output folder cannot be used,\n"
    "2 bad arguments or a disk with several NTFS partitions, 130 interrupted.\n";

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
        std::fputs(kUsage, err_);
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

// Opens SOURCE; an image of a whole disk with one NTFS partition stands for that
// partition. Returns an exit status on failure.
std::variant<OpenSource, int> Resolve(const std::string& source, Messages& msg) {
    auto opened = OpenRawVolume(source);
    if (!opened) {
        msg.Say(OpenProblem(source, opened.error()));
        return kExitFailed;
    }
    OpenSource s{std::move(opened).value(), source};
    if (LooksLikeNtfs(*s.volume)) return s;

    auto parts = ExpandImage(source);
    if (parts.size() > 1) {
        msg.Say(source + " holds " + std::to_string(parts.size()) +
                " NTFS partitions; name one of them as SOURCE:");
        for (const SourceInfo& p : parts) {
            std::string line =
                "  " + p.source + "\t" + std::to_string(p.size) + "\t" + p.label + "\n";
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
char* RowScratch(std::size_t textBytes, std::size_t perByte) {
    thread_local std::vector<char> scratch;
    // The name, its type and its path, escaped, and the rest of the row.
    const std::size_t most = 3 * (perByte * textBytes + 2) + 512;
    if (scratch.size() < most) scratch.resize(most);
    return scratch.data();
}

// What the listing adds to a row's own fields: its path and the words of its flags.
struct RowExtras {
    std::string path;  // UTF-8
    std::string flags;
    bool orphan = false;
};

std::string FlagsText(const ScanRow& row, bool orphan) {
    std::string t;
    auto add = [&](const char* word) {
        if (!t.empty()) t += ',';
        t += word;
    };
    if (row.flags & kRowCompressed) add("compressed");
    if (row.flags & kRowEncrypted) add("encrypted");
    if (row.flags & kRowSparse) add("sparse");
    if (row.flags & kRowResident) add("resident");
    if (orphan) add("orphan");
    if (row.recoverable < 100) {
        add("overwritten (");
        t += std::to_string(100 - row.recoverable) + " %)";
    }
    return t;
}

// The name column: the file's name, and ":stream" for a stream row.
const std::string& RowName(const ScanRow& row) {
    if (row.kind != RowKind::Stream) return NameUtf8(row.name);
    thread_local std::string text;
    text = NameUtf8(row.name);
    text += ':';
    text += NameUtf8(row.stream);
    return text;
}

std::string_view RowType(const ScanRow& row, const std::string& name, std::string& scratch) {
    if (row.kind == RowKind::Folder) return "folder";
    scratch = ExtensionOf(name);
    return scratch;
}

void AppendTsvRow(std::string& out, const ScanRow& row, const RowExtras& x) {
    const std::string& name = RowName(row);
    char* const start = RowScratch(name.size() + x.path.size() + x.flags.size(), kTsvPerByte);
    std::string type;
    char* p = PutPosition(start, row.position);
    *p++ = '\t';
    p = PutUnsigned(p, row.record);
    *p++ = '\t';
    p = PutTsvField(p, name);
    *p++ = '\t';
    p = PutTsvField(p, RowType(row, name, type));
    *p++ = '\t';
    if (row.kind != RowKind::Folder) p = PutUnsigned(p, row.size);
    *p++ = '\t';
    if (char* end = PutIsoUtc(p, row.created)) p = end;
    *p++ = '\t';
    if (char* end = PutIsoUtc(p, row.modified)) p = end;
    *p++ = '\t';
    p = PutTsvField(p, x.path);
    *p++ = '\t';
    if (row.recoverable != kRecoverableUnknown) p = PutUnsigned(p, row.recoverable);
    *p++ = '\t';
    p = PutTsvField(p, x.flags);
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

char* PutText(char* p, std::string_view t) {
    std::memcpy(p, t.data(), t.size());
    return p + t.size();
}

const char* KindText(RowKind kind) {
    switch (kind) {
        case RowKind::Folder:
            return "folder";
        case RowKind::Stream:
            return "stream";
        default:
            return "file";
    }
}

void AppendJsonRow(std::string& out, const ScanRow& row, const RowExtras& x) {
    const std::string& name = RowName(row);
    char* const start = RowScratch(name.size() + x.path.size() + x.flags.size(), kJsonPerByte);
    std::string type;
    char* p = PutText(start, "{\"position\":\"");
    p = PutPosition(p, row.position);
    p = PutText(p, "\",\"record\":");
    p = PutUnsigned(p, row.record);
    p = PutText(p, ",\"name\":");
    p = PutJsonString(p, name);
    p = PutText(p, ",\"type\":");
    p = PutJsonString(p, RowType(row, name, type));
    p = PutText(p, ",\"size\":");
    p = row.kind == RowKind::Folder ? PutText(p, "null") : PutUnsigned(p, row.size);
    p = PutText(p, ",\"created\":");
    p = PutJsonTime(p, row.created);
    p = PutText(p, ",\"modified\":");
    p = PutJsonTime(p, row.modified);
    p = PutText(p, ",\"path\":");
    p = PutJsonString(p, x.path);
    p = PutText(p, ",\"recoverable\":");
    p = row.recoverable == kRecoverableUnknown ? PutText(p, "null")
                                               : PutUnsigned(p, row.recoverable);
    p = PutText(p, ",\"flags\":");
    p = PutJsonString(p, x.flags);
    p = PutText(p, ",\"kind\":\"");
    p = PutText(p, KindText(row.kind));
    p = PutText(p, "\"}\n");
    out.append(start, p);
}

int OutputFailed(const OutputBuffer& out, Messages& msg) {
    if (!out.failed()) return kExitOk;
    msg.Say(std::string("cannot write the output: ") + std::strerror(out.error()));
    return kExitFailed;
}

struct ScanArgs {
    std::string source;
    bool json = false;
    bool streams = false;  // stream rows in TSV too (JSON always has them)
    RowFilter filter;
};

// Prints the rows kept, now that the walk has resolved their folders. Rows of
// one folder mostly follow one another: its text is worked out once for them.
void PrintRows(const std::deque<ScanRow>& rows, const ScanSummary& summary, const ScanArgs& a,
               OutputBuffer& out) {
    if (!a.json) {
        out.text() +=
            "position\trecord\tname\ttype\tsize\tcreated\tmodified\tpath\trecoverable\tflags\n";
        out.LineDone();
    }
    RowExtras x;
    FolderPath folder;
    std::string folder8;
    std::optional<std::uint64_t> lastParent;
    for (const ScanRow& row : rows) {
        if (row.kind == RowKind::Folder || lastParent != row.parent) {
            folder = RowFolder(summary, row);
            folder8 = NameUtf8(folder.text);
            lastParent = row.kind == RowKind::Folder ? std::nullopt : std::optional(row.parent);
        }
        const bool taken = a.filter.path
                               ? a.filter.Matches(row, RowPath(folder, row), folder.orphan)
                               : a.filter.Matches(row, {}, folder.orphan);
        if (!taken) continue;
        x.path = folder8;
        x.path += '/';
        x.path += RowName(row);
        x.flags = FlagsText(row, folder.orphan);
        if (a.json)
            AppendJsonRow(out.text(), row, x);
        else
            AppendTsvRow(out.text(), row, x);
        out.LineDone();
    }
}

// The paths are known once the walk has ended: rows are held until then.
int Scan(const ScanArgs& a, std::FILE* outFile, Messages& msg) {
    auto resolved = Resolve(a.source, msg);
    if (auto* status = std::get_if<int>(&resolved)) return *status;
    OpenSource& src = std::get<OpenSource>(resolved);

    ProgressBar bar(msg.file(), IsTerminal(msg.file()));
    OutputBuffer out(outFile, IsTerminal(outFile));
    out.beforeWrite = [&] { bar.Clear(); };
    std::deque<ScanRow> rows;  // grows without moving what it holds
    const bool streams = a.json || a.streams;
    ScanRunner runner(bar, nullptr, [&](ScanRow&& row) {
        if (row.kind == RowKind::Stream && !streams) return;
        if (a.filter.MatchesWithoutPath(row)) rows.push_back(std::move(row));
    });
    ScanOptions options;
    options.foldersAndStreams = true;
    ScanSummary summary = RunScan(*src.volume, runner, g_stop, options);
    bar.Clear();
    if (summary.setup.stop == SetupStop::None) PrintRows(rows, summary, a, out);
    out.Flush();
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
    RowFilter filter;                      // selects the files instead of positions
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

// Keeps the rows the filter takes, their paths resolved by the finished walk.
void KeepMatching(std::vector<Wanted>& wanted, const ScanSummary& summary, const RowFilter& f) {
    std::erase_if(wanted, [&](const Wanted& w) {
        const FolderPath folder = RowFolder(summary, w.row);
        return !f.Matches(w.row, RowPath(folder, w.row), folder.orphan);
    });
}

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
        if (!a.all && !a.filter.Active()) {
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
    if (a.filter.Active()) KeepMatching(wanted, summary, a.filter);

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
            auto taken = TakeFilterOption(args, i, a.filter);
            if (!taken) return msg.Usage("recover: " + taken.error().message);
            if (!*taken) return msg.Usage("recover: unknown option " + s);
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
    if (a.filter.Active() && !a.positions.empty())
        return msg.Usage("recover: positions and filters exclude each other");
    if (!a.filter.Active() && a.all == !a.positions.empty())
        return msg.Usage(a.all ? "recover: --all and positions exclude each other"
                               : "recover: give --all or the positions to recover");
    return Recover(a, out, msg);
}

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
            a.json = true;
        } else if (s == "--streams") {
            a.streams = true;
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
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, out);
            std::fputs(kHelp, out);
            return kExitOk;
        }
    }
    if (cmd == "--version") {
        std::fputs("quillmere-cli " QM_VERSION "\n", out);
        return kExitOk;
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
    return msg.Usage("unknown command " + cmd);
}

}  // namespace qm::cli
