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
// - recover prints "position<TAB>path<TAB>bytes" per file written, with a
//   fourth field of notes when the file's name was taken ("NAME was taken"),
//   its original times could not be set ("times not set: ...") or parts of it
//   could not be read ("damaged: unreadable bytes 0-4095, ..."), and ends
//   with "N files written, N damaged, N given up, B bytes" on stderr. No file
//   already in the folder is replaced: a taken name, or one used twice in the
//   run, gets the first free "name (N).ext" (--overwrite replaces instead).
//   Given-up records (and positions the scan did not list) are named on
//   stderr with the system's reason, counted, and make the run partial.
// - A full disk, a folder that takes no files, a volume that stops answering
//   or a closed stdout stop the recovery at once; files being written are
//   abandoned, their temporary files removed.
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

#include "cli/CliOutput.h"
#include "cli/Format.h"
#include "cli/HeldRows.h"
#include "cli/Help.h"
#include "cli/RecoverPlan.h"
#include "cli/Report.h"
#include "cli/ScanFormats.h"
#include "ntfs/Sources.h"
#include "platform/Platform.h"
#include "recover/RecoverBatch.h"
#include "recover/RecoverRecord.h"
#include "scan/Filter.h"
#include "scan/ScanEngine.h"

namespace qm::cli {
namespace {

std::atomic<bool> g_stop{false};
OutputFactory* g_output = nullptr;  // the real files when null
std::function<bool(const std::string&, const std::string&)> g_folderIsOnSource;

// Tab, line feed and carriage return as \t \n \r, other control bytes as
// \xHH; everything else, backslashes included, as it stands.
void AppendControlEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
}

class Messages {
public:
    explicit Messages(std::FILE* err) : err_(err) {}
    // Control characters (from names on the volume) are escaped as on stdout:
    // a name must not move the cursor, colour the terminal or fake a line.
    void Say(const std::string& text) {
        std::string line = "quillmere-cli: ";
        AppendControlEscaped(line, text);
        line += "\n";
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

// "IMG@abc", "IMG@-1": no such file, but IMG is one and what follows '@' is no offset.
bool HasBadOffset(const std::string& source) {
    const std::size_t at = source.rfind('@');
    if (at == std::string::npos || at == 0 || ParseSourceSpec(source).offset) return false;
    std::error_code ec;
    return std::filesystem::exists(source.substr(0, at), ec);
}

// Why `source` could not be opened, in words that name what to do.
std::string OpenProblem(const std::string& source, const Error& e) {
    switch (e.code) {
        case ErrorCode::NotFound:
            if (HasBadOffset(source))
                return source + ": bad offset (IMAGE@OFFSET takes a number of bytes, as " +
                       "sources prints it)";
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
    // A volume read through its backup boot sector is the image itself.
    if (parts.size() == 1 && parts[0].partition == 0) return s;
    if (parts.size() > 1) {
        msg.Say(source + " holds " + std::to_string(parts.size()) +
                " NTFS partitions; name one of them as SOURCE, or pick one with --partition N:");
        for (const SourceInfo& p : parts) {
            std::string line = "  ";
            AppendTsvField(line, p.source);
            line += "\t" + std::to_string(p.size) + "\t";
            AppendTsvField(line, p.label);
            line += "\t" + std::to_string(p.partition) + "\n";
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
char* RowScratch(std::size_t textBytes, std::size_t perByte) {
    thread_local std::vector<char> scratch;
    // The name, its type and its path, escaped, and the rest of the row.
    const std::size_t most = 3 * (perByte * textBytes + 2) + 512;
    if (scratch.size() < most) scratch.resize(most);
    return scratch.data();
}

// What the listing adds to a row's own fields: its name column and path in
// UTF-8, and the words of its flags.
struct RowExtras {
    std::string name;  // RowName's
    std::string path;
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
    const std::string& name = x.name;
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
    const std::string& name = x.name;
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

// Puts the rows in the chosen form: a header or an opening before the first,
// the rows, and a closing after the last.
class RowPrinter {
public:
    explicit RowPrinter(ScanFormat format) : format_(format) {}
    void Begin(std::string& out) const {
        if (format_ == ScanFormat::Tsv)
            out +=
                "position\trecord\tname\ttype\tsize\tcreated\tmodified\tpath\trecoverable\tflags\n";
        else if (format_ == ScanFormat::Csv)
            AppendCsvHeader(out);
        else if (format_ == ScanFormat::Json)
            out += "[\n";
    }
    void Row(std::string& out, const ScanRow& row, const RowExtras& x) {
        switch (format_) {
            case ScanFormat::Tsv:
                AppendTsvRow(out, row, x);
                break;
            case ScanFormat::Csv:
                AppendCsvRow(out, row, x.name, x.path, x.flags);
                break;
            case ScanFormat::Json:
                if (rows_ > 0) out += ",\n";
                AppendJsonRow(out, row, x);
                out.pop_back();  // the line's end comes with the next row or the closing
                break;
            case ScanFormat::Jsonl:
                AppendJsonRow(out, row, x);
                break;
            case ScanFormat::Bodyfile:
                AppendBodyRows(out, row, x.path);
                break;
        }
        ++rows_;
    }
    // Only a JSON document has a closing.
    void End(std::string& out) const {
        if (format_ == ScanFormat::Json) out += rows_ > 0 ? "\n]\n" : "]\n";
    }

private:
    ScanFormat format_;
    std::uint64_t rows_ = 0;
};

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
    bool all = false, byNumber = false, allowSameVolume = false, overwrite = false, raw = false;
    bool streams = false, keepPaths = false, times = true;
    std::string report;        // --report FILE; empty: none
    unsigned jobs = 1;         // files written at a time
    unsigned partition = 0;    // --partition N of a disk image; 0: none asked for
    std::vector<Asked> asked;  // positions (":stream" for one stream), in order, without repeats
    RowFilter filter;          // selects the files instead of positions
};

#ifdef _WIN32
constexpr NameText kNameText = NameText::CodePage;  // names come from Utf16ToAnsi
#else
constexpr NameText kNameText = NameText::Utf8;
#endif

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
    report = std::make_unique<EvidenceReport>(g_output ? *g_output : DefaultOutputFactory(),
                                              a.report, *ReportFormatOf(a.report), a.overwrite,
                                              a.outDir, kNameText);
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

// What ended a recovery before its last file.
enum class EndCause { None, OutOfSpace, FolderUnusable, SourceFailed, OutputFailed };

// "unreadable bytes 4096-8191, 20480-20991": the ranges, first and last byte.
std::string UnreadableText(const std::vector<ByteRange>& ranges) {
    std::string text = "unreadable bytes ";
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(ranges[i].offset) + "-" +
                std::to_string(ranges[i].offset + ranges[i].length - (ranges[i].length > 0));
    }
    return text;
}

// The files' lines, the counts and the reasons to stop, file by file as the
// batch reports them.
class RecoverRun {
public:
    RecoverRun(const RecoverArgs& a, OutputBuffer& out, ProgressBar& bar, Messages& msg,
               FolderOutput& folder)
        : a_(a), out_(out), bar_(bar), msg_(msg), folder_(folder) {}

    // The jobs for `wanted`, each with a path of its own in this run.
    void Plan(const std::vector<Wanted>& wanted, const ScanSummary& summary, PathPlanner& paths);
    void GivenUp(const std::string& text) {
        out_.Flush();
        bar_.Clear();
        msg_.Say(text);
        ++givenUp_;
    }
    void Run(RawVolume& volume, const VolumeGeometry& geometry, const MftMap* mft);
    // Each file's fate goes to `report` too.
    void SetReport(EvidenceReport* report) { report_ = report; }
    // The closing counts; returns the exit status.
    int Finish(std::int64_t unreadableRecords);

private:
    void OnResult(std::size_t k, const RecoverResult& r);
    std::string OnWritten(std::size_t k, const RecoverResult& r);
    void Stop(EndCause cause, std::string text) {
        if (cause_ == EndCause::None) {
            cause_ = cause;
            causeText_ = std::move(text);
        }
        g_stop.store(true, std::memory_order_relaxed);
    }

    const RecoverArgs& a_;
    OutputBuffer& out_;
    ProgressBar& bar_;
    Messages& msg_;
    FolderOutput& folder_;
    std::vector<RecoverJob> jobs_;
    std::vector<std::string> names_;    // the name each file asked for
    std::vector<std::uint64_t> sizes_;  // each file's size, for the bar
    std::uint64_t totalBytes_ = 0, doneBytes_ = 0;
    EvidenceReport* report_ = nullptr;
    std::set<std::string> paths_;  // written by this run (--overwrite counts names used twice)
    std::uint64_t written_ = 0, damaged_ = 0, givenUp_ = 0, notDone_ = 0, bytes_ = 0;
    std::uint64_t renamed_ = 0, replaced_ = 0;
    EndCause cause_ = EndCause::None;
    std::string causeText_;
};

void RecoverRun::Plan(const std::vector<Wanted>& wanted, const ScanSummary& summary,
                      PathPlanner& paths) {
    jobs_.reserve(wanted.size());
    for (const Wanted& w : wanted) {
        auto planned = paths.Plan(w, summary);
        if (!planned) {
            GivenUp(AskedText({w.row.position, Name8(w.row.stream)}) +
                    ": given up: " + planned.error().message);
            if (report_) report_->NotListed(w.row.position, planned.error().message);
            continue;
        }
        names_.push_back(std::move(planned->asked));
        jobs_.push_back(std::move(planned->job));
        sizes_.push_back(w.row.size);
        totalBytes_ += w.row.size;
        if (report_) report_->AddJob(w.row, summary);
    }
}

void RecoverRun::Run(RawVolume& volume, const VolumeGeometry& geometry, const MftMap* mft) {
    bar_.Start("recovering", jobs_.size(), totalBytes_);
    RecoverBatchOptions options;
    options.digests = report_ != nullptr;
    // Bytes of files still being written, on top of the files done.
    options.progress = [this](std::uint64_t inFlight) { bar_.UpdateBytes(doneBytes_ + inFlight); };
    options.workers = a_.jobs;
    options.stop = &g_stop;
    options.mft = mft;
    options.raw = a_.raw;
    options.times = a_.times;
    RecoverBatch(volume, geometry, jobs_, folder_, options,
                 [&](std::size_t k, const RecoverResult& r) { OnResult(k, r); });
    out_.Flush();
    bar_.Clear();
    if (out_.failed())
        Stop(EndCause::OutputFailed,
             std::string("cannot write the output: ") + std::strerror(out_.error()));
}

void RecoverRun::OnResult(std::size_t k, const RecoverResult& r) {
    const std::string position = PositionText(jobs_[k].position);
    std::string written;
    if (r.status == RecoverStatus::Cancelled) {
        ++notDone_;
    } else if (r.status == RecoverStatus::Written || r.status == RecoverStatus::Damaged) {
        written = OnWritten(k, r);
    } else {
        GivenUp(position + ": given up: " + GiveUpText(r));
    }
    if (report_) report_->Result(k, r, written);
    doneBytes_ += sizes_[k];
    bar_.UpdateBytes(doneBytes_);
    bar_.Update(k + 1);
    // Out of space, a folder that takes no files, a volume gone, an output
    // closed: the files left would fail the same way.
    if (r.status == RecoverStatus::SourceFailed)
        Stop(EndCause::SourceFailed, a_.source + ": the volume stopped answering");
    else if (r.status == RecoverStatus::OutputFailed && IsOutOfSpace(r.systemError))
        Stop(EndCause::OutOfSpace, a_.outDir + ": " + SystemErrorText(r.systemError));
    if (auto why = folder_.CreateFailure()) Stop(EndCause::FolderUnusable, *why);
    if (out_.failed())
        Stop(EndCause::OutputFailed,
             std::string("cannot write the output: ") + std::strerror(out_.error()));
}

// Prints the file's line; returns the path it was written to.
std::string RecoverRun::OnWritten(std::size_t k, const RecoverResult& r) {
    const std::string path = folder_.TakeCommitted(jobs_[k].path).value_or(jobs_[k].path);
    std::string notes;
    const std::size_t at = a_.outDir.size() + 1;
    if (path.substr(std::min(at, path.size())) != names_[k]) {
        ++renamed_;
        notes = names_[k] + " was taken";
    }
    if (a_.overwrite && !paths_.insert(path).second) ++replaced_;
    if (!r.note.empty()) notes += (notes.empty() ? "" : "; ") + r.note;
    if (r.status == RecoverStatus::Damaged) {
        ++damaged_;
        notes +=
            std::string(notes.empty() ? "" : "; ") + "damaged: " + UnreadableText(r.unreadable);
    } else {
        ++written_;
    }
    bytes_ += r.bytes;
    std::string& line = out_.text();
    AppendPosition(line, jobs_[k].position);
    line += "\t";
    AppendTsvField(line, path);
    line += "\t";
    AppendUnsigned(line, r.bytes);
    if (!notes.empty()) {
        line += "\t";
        AppendTsvField(line, notes);
    }
    line += "\n";
    out_.LineDone();
    return path;
}

int RecoverRun::Finish(std::int64_t unreadableRecords) {
    const bool flushed = folder_.Finish();
    msg_.Say(Plural(static_cast<std::int64_t>(written_), "file", "files") + " written, " +
             std::to_string(damaged_) + " damaged, " + std::to_string(givenUp_) + " given up, " +
             Plural(static_cast<std::int64_t>(bytes_), "byte", "bytes"));
    if (renamed_ > 0)
        msg_.Say(Plural(static_cast<std::int64_t>(renamed_), "name was", "names were") +
                 " taken: those files got a free name, \"name (1).ext\"; --overwrite replaces "
                 "instead");
    if (replaced_ > 0)
        msg_.Say(Plural(static_cast<std::int64_t>(replaced_), "file", "files") +
                 " replaced an earlier file of the same name; --by-number keeps every file");
    if (!flushed) {
        msg_.Say(a_.outDir +
                 ": the file system reported a write error while flushing; "
                 "the files written may be incomplete");
        return kExitFailed;
    }
    const std::string notDone =
        notDone_ > 0
            ? "; " + Plural(static_cast<std::int64_t>(notDone_), "file", "files") + " not recovered"
            : "";
    if (cause_ != EndCause::None) {
        msg_.Say("stopped: " + causeText_ + notDone);
        return kExitFailed;
    }
    if (notDone_ > 0 || g_stop.load(std::memory_order_relaxed)) {
        msg_.Say("stopped" + notDone);
        return kExitStopped;
    }
    return damaged_ > 0 || givenUp_ > 0 || unreadableRecords > 0 ? kExitPartial : kExitOk;
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
    FolderOutput folder(g_output ? *g_output : DefaultOutputFactory(), a.outDir, a.overwrite,
                        kNameText);
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

// ---- Arguments -------------------------------------------------------------------

// --partition N (or --partition=N) at args[i], for `command`: nullopt when
// args[i] is another option, else an empty message or what is wrong with it.
std::optional<std::string> TakePartition(const std::vector<std::string>& args, std::size_t& i,
                                         const std::string& command, unsigned& partition) {
    const std::string& s = args[i];
    std::string n;
    if (s == "--partition") {
        if (i + 1 >= args.size()) return command + ": --partition needs a number";
        n = args[++i];
    } else if (s.rfind("--partition=", 0) == 0) {
        n = s.substr(12);
    } else {
        return std::nullopt;
    }
    const auto r = std::from_chars(n.data(), n.data() + n.size(), partition);
    if (r.ec != std::errc() || r.ptr != n.data() + n.size() || partition == 0)
        return command + ": --partition takes a partition number (1 on), not " + n;
    return std::string();
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

}  // namespace

void RequestStop() {
    g_stop.store(true, std::memory_order_relaxed);
}

void SetFolderIsOnSourceForTesting(std::function<bool(const std::string&, const std::string&)> fn) {
    g_folderIsOnSource = std::move(fn);
}

void SetOutputForTesting(OutputFactory* output) {
    g_output = output;
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
