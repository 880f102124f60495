#include "cli/Report.h"

#include <cctype>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "cli/Format.h"
#include "cli/ScanFormats.h"
#include "ntfs/uNTFS.h"
#include "recover/Md5.h"

#ifndef QM_VERSION
#define QM_VERSION "dev"
#endif

namespace qm::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFlushAt = 64 * 1024;
constexpr unsigned kMaxNumber = 9999;  // free names tried, as for the recovered files
constexpr const char* kTool = "quillmere-cli " QM_VERSION;
constexpr const char* kCsvColumns =
    "position,record,path,size,bytes_written,result,unreadable,reason,recoverable,md5,sha256,"
    "output\n";

bool EndsWithNoCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) return false;
    for (std::size_t i = 0; i < end.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[text.size() - end.size() + i]);
        if (std::tolower(c) != end[i]) return false;
    }
    return true;
}

// A name of the output folder in UTF-8, as the report is written.
std::string Utf8Of(const std::string& native, NameText text) {
    return text == NameText::CodePage ? AnsiToUtf8(native) : native;
}

std::string WriteError(int code) {
    return code != 0 ? SystemErrorText(code) : std::string("the system gave no reason");
}

// "4096-8191 20480-20991": first and last byte of each range.
std::string RangesText(const std::vector<ByteRange>& ranges) {
    std::string text;
    for (const ByteRange& r : ranges) {
        if (!text.empty()) text += ' ';
        text +=
            std::to_string(r.offset) + "-" + std::to_string(r.offset + r.length - (r.length > 0));
    }
    return text;
}

void AppendJsonRanges(std::string& out, const std::vector<ByteRange>& ranges) {
    out += '[';
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) out += ',';
        out += '[';
        AppendUnsigned(out, ranges[i].offset);
        out += ',';
        AppendUnsigned(out, ranges[i].offset + ranges[i].length - (ranges[i].length > 0));
        out += ']';
    }
    out += ']';
}

// The result column and its reason.
struct Fate {
    const char* result;
    std::string reason;
};

Fate FateOf(const RecoverResult* r, const std::string& reason) {
    if (r == nullptr) return {"given up", reason};
    switch (r->status) {
        case RecoverStatus::Written:
            return {"written", {}};
        case RecoverStatus::Damaged:
            return {"damaged", r->detail};
        case RecoverStatus::Cancelled:
            return {"not recovered", "stopped before it was written"};
        default:
            return {"given up", GiveUpText(*r)};
    }
}

// A line of a list md5sum -c reads. A name with a backslash, line feed or
// carriage return is escaped and the line starts with a backslash, as
// md5sum writes such names.
void AppendChecksumLine(std::string& out, std::string_view hex, std::string_view name) {
    const bool escaped = name.find_first_of("\\\n\r") != std::string_view::npos;
    if (escaped) out += '\\';
    out += hex;
    out += "  ";
    for (const char c : name) {
        if (!escaped)
            out += c;
        else if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    out += '\n';
}

// The path without "." and ".." steps and without a trailing separator.
fs::path Normal(const fs::path& p) {
    fs::path n = p.lexically_normal();
    return n.has_filename() || !n.has_relative_path() ? n : n.parent_path();
}

// `output` as a name inside `folder`, for lists checked from inside it.
std::string NameInFolder(const std::string& output, const std::string& folder) {
    if (output.compare(0, folder.size(), folder) != 0) return output;
    std::size_t at = folder.size();
    while (at < output.size() && (output[at] == '/' || output[at] == '\\')) ++at;
    return output.substr(at);
}

}  // namespace

struct EvidenceReport::Part {
    std::unique_ptr<OutputFile> file;
    std::string text;
    int error = 0;
    bool failed = false;
    void Flush() {
        if (failed || text.empty()) return;
        if (!file->Write(
                std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
            failed = true;
            error = file->LastError();
        }
        text.clear();
    }
    void Done() {
        if (text.size() >= kFlushAt) Flush();
    }
};

std::optional<ReportFormat> ReportFormatOf(std::string_view path) {
    if (EndsWithNoCase(path, ".csv") && path.size() > 4) return ReportFormat::Csv;
    if (EndsWithNoCase(path, ".json") && path.size() > 5) return ReportFormat::Json;
    return std::nullopt;
}

std::vector<std::string> ReportFiles(const std::string& path) {
    return {path, path + ".md5", path + ".sha256"};
}

std::optional<std::string> ReportRefusal(const std::string& path, const std::string& outDir,
                                         bool replace,
                                         const std::function<bool(const std::string&)>& onSource) {
    std::error_code ec;
    if (!replace)
        for (const std::string& file : ReportFiles(path))
            if (fs::exists(fs::symlink_status(file, ec)))
                return file +
                       ": a file of that name exists; choose another name for the report, "
                       "or pass --overwrite to replace it";
    const fs::path folder = Normal(fs::absolute(fs::path(path), ec).parent_path());
    const bool isOut = folder == Normal(fs::absolute(fs::path(outDir), ec));
    if (!isOut && !fs::is_directory(folder, ec))
        return path + ": the report's folder " + folder.string() + " does not exist";
    if (onSource && onSource(folder.string()))
        return path +
               ": the report would lie on the volume being read, where it may overwrite the "
               "deleted files being recovered. Choose a folder on another volume, or pass "
               "--allow-same-volume to write there anyway.";
    return std::nullopt;
}

std::string GiveUpText(const RecoverResult& r) {
    std::string text = RecoverStatusText(r.status);
    if (!r.detail.empty()) text += " (" + r.detail + ")";
    if (r.systemError != 0) text += ": " + SystemErrorText(r.systemError);
    return text;
}

std::uint64_t FileTimeNow() {
    using namespace std::chrono;
    // FILETIME counts from 1601, 11644473600 seconds before 1970.
    const auto since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    return static_cast<std::uint64_t>(since1970.count()) * 10 + 116444736000000000ull;
}

EvidenceReport::EvidenceReport(OutputFactory& output, std::string path, ReportFormat format,
                               bool replace, std::string outDir, NameText text)
    : output_(output),
      path_(std::move(path)),
      outDir_(std::move(outDir)),
      format_(format),
      replace_(replace),
      text_(text) {}

EvidenceReport::~EvidenceReport() = default;

std::optional<std::string> EvidenceReport::Open() {
    for (const std::string& file : ReportFiles(path_)) {
        auto made = output_.Create(file);
        if (!made) return file + ": cannot create the report: " + made.error().message;
        parts_.push_back(std::make_unique<Part>());
        parts_.back()->file = std::move(made).value();
    }
    return std::nullopt;
}

void EvidenceReport::Begin(const ReportHeader& h) {
    std::string& out = parts_[0]->text;
    std::string started;
    AppendIsoUtc(started, h.started);
    const std::string serial = HexText(h.serial, 16);
    if (format_ == ReportFormat::Csv) {
        out += "source,";
        AppendCsvField(out, Utf8Of(h.source, text_));
        out += "\nsource_size,";
        AppendUnsigned(out, h.sourceSize);
        out += "\nvolume_serial," + serial + "\ntool," + kTool + "\nstarted," + started + "\n\n";
        out += kCsvColumns;
    } else {
        out += "{\"source\":{\"path\":";
        AppendJsonString(out, Utf8Of(h.source, text_));
        out += ",\"size\":";
        AppendUnsigned(out, h.sourceSize);
        out += ",\"volume_serial\":\"" + serial + "\"},\"tool\":\"" + kTool + "\",\"started\":\"" +
               started + "\",\n\"files\":[";
    }
    parts_[0]->Done();
}

void EvidenceReport::AddJob(const ScanRow& row, const ScanSummary& summary) {
    jobs_.push_back({row.position, row.record, row.size,
                     Utf16ToUtf8(RowPath(RowFolder(summary, row), row)), row.recoverable});
}

void EvidenceReport::NotListed(std::uint64_t position, const std::string& reason) {
    Line(nullptr, position, nullptr, reason, {});
}

void EvidenceReport::Result(std::size_t k, const RecoverResult& r, const std::string& output) {
    const Job& job = jobs_.at(k);
    Line(&job, job.position, &r, {}, output);
    if (r.digests && !output.empty()) Checksums(*r.digests, output);
}

void EvidenceReport::Checksums(const ContentDigests& d, const std::string& output) {
    const std::string name = Utf8Of(NameInFolder(output, outDir_), text_);
    AppendChecksumLine(parts_[1]->text, HexDigest(d.md5), name);
    AppendChecksumLine(parts_[2]->text, HexDigest(d.sha256), name);
    parts_[1]->Done();
    parts_[2]->Done();
}

// The columns of one line, worked out once for either format.
struct EvidenceReport::Entry {
    const Job* job;
    std::uint64_t position;
    const RecoverResult* r;
    Fate fate;
    bool wrote;
    std::string md5, sha256, output;
    bool recoverableKnown() const { return job && job->recoverable != kRecoverableUnknown; }
};

void EvidenceReport::Line(const Job* job, std::uint64_t position, const RecoverResult* r,
                          const std::string& reason, const std::string& output) {
    Entry e{job, position, r, FateOf(r, reason), false, {}, {}, {}};
    e.wrote = r && (r->status == RecoverStatus::Written || r->status == RecoverStatus::Damaged);
    if (r && r->digests) {
        e.md5 = HexDigest(r->digests->md5);
        e.sha256 = HexDigest(r->digests->sha256);
    }
    if (!output.empty()) e.output = Utf8Of(output, text_);
    if (format_ == ReportFormat::Csv)
        CsvLine(e);
    else
        JsonLine(e);
    parts_[0]->Done();
}

void EvidenceReport::CsvLine(const Entry& e) {
    std::string& out = parts_[0]->text;
    AppendPosition(out, e.position);
    out += ',';
    if (e.job) AppendUnsigned(out, e.job->record);
    out += ',';
    if (e.job) AppendCsvField(out, e.job->path);
    out += ',';
    if (e.job) AppendUnsigned(out, e.job->size);
    out += ',';
    if (e.wrote) AppendUnsigned(out, e.r->bytes);
    out += std::string(",") + e.fate.result + ",";
    if (e.r) out += RangesText(e.r->unreadable);
    out += ',';
    AppendCsvField(out, e.fate.reason);
    out += ',';
    if (e.recoverableKnown()) AppendUnsigned(out, e.job->recoverable);
    out += "," + e.md5 + "," + e.sha256 + ",";
    AppendCsvField(out, e.output);
    out += '\n';
}

void EvidenceReport::JsonLine(const Entry& e) {
    std::string& out = parts_[0]->text;
    auto number = [&out](bool have, std::uint64_t v) {
        if (have)
            AppendUnsigned(out, v);
        else
            out += "null";
    };
    auto text = [&out](std::string_view v) {
        if (v.empty())
            out += "null";
        else
            AppendJsonString(out, v);
    };
    out += firstEntry_ ? "\n{\"position\":\"" : ",\n{\"position\":\"";
    firstEntry_ = false;
    AppendPosition(out, e.position);
    out += "\",\"record\":";
    number(e.job != nullptr, e.job ? e.job->record : 0);
    out += ",\"path\":";
    text(e.job ? std::string_view(e.job->path) : std::string_view());
    out += ",\"size\":";
    number(e.job != nullptr, e.job ? e.job->size : 0);
    out += ",\"bytes_written\":";
    number(e.wrote, e.wrote ? e.r->bytes : 0);
    out += std::string(",\"result\":\"") + e.fate.result + "\",\"unreadable\":";
    AppendJsonRanges(out, e.r ? e.r->unreadable : std::vector<ByteRange>{});
    out += ",\"reason\":";
    text(e.fate.reason);
    out += ",\"recoverable\":";
    number(e.recoverableKnown(), e.recoverableKnown() ? e.job->recoverable : 0);
    out += ",\"md5\":";
    text(e.md5);
    out += ",\"sha256\":";
    text(e.sha256);
    out += ",\"output\":";
    text(e.output);
    out += '}';
}

// Under `path`, or when `replace` is off and the name is taken, under the
// first free "name (N).ext" of its folder; `final` is where it went.
std::optional<std::string> EvidenceReport::CommitPart(Part& part, const std::string& path,
                                                      std::string& final) {
    part.Flush();
    if (part.failed) return path + ": cannot write the report: " + WriteError(part.error);
    if (replace_) {
        if (!part.file->Commit())
            return path + ": cannot write the report: " + WriteError(part.file->LastError());
        final = path;
        return std::nullopt;
    }
    const fs::path p(path);
    const std::string folder = p.parent_path().string(), name = p.filename().string();
    const std::size_t limit = NameLimit(folder.empty() ? std::string(".") : folder);
    for (unsigned n = 0; n <= kMaxNumber; ++n) {
        const std::string tried =
            n == 0 ? path : (p.parent_path() / NumberedName(name, n, limit, text_)).string();
        switch (part.file->CommitNew(tried)) {
            case CommitOutcome::Committed:
                final = tried;
                return std::nullopt;
            case CommitOutcome::Failed:
                return path + ": cannot write the report: " + WriteError(part.file->LastError());
            case CommitOutcome::NameTaken:
                break;
        }
    }
    return path + ": cannot write the report: every free name is taken";
}

bool EvidenceReport::Commit(std::vector<std::string>& messages) {
    if (format_ == ReportFormat::Json) parts_[0]->text += firstEntry_ ? "]}\n" : "\n]}\n";
    std::string report;
    if (auto failed = CommitPart(*parts_[0], path_, report)) {
        messages.push_back(*failed);
        return false;
    }
    bool ok = true;
    std::string lists[2];
    const char* ends[2] = {".md5", ".sha256"};
    for (int i = 0; i < 2; ++i) {
        if (auto failed = CommitPart(*parts_[1 + i], report + ends[i], lists[i])) {
            messages.push_back(*failed);
            ok = false;
        }
    }
    if (report != path_) messages.push_back(path_ + " was taken: the report went to " + report);
    if (ok) {
        std::error_code ec;
        messages.push_back("report: " + report + "; (cd " + outDir_ + " && md5sum -c " +
                           fs::absolute(lists[0], ec).string() +
                           ") checks the files written, as "
                           "does sha256sum -c with " +
                           fs::absolute(lists[1], ec).string());
    }
    return ok;
}

}  // namespace qm::cli
