// CSV and body-file rows of the scan listing.
#include "cli/ScanFormats.h"

#include "cli/Format.h"

namespace qm::cli {

std::optional<ScanFormat> ParseScanFormat(std::string_view name) {
    if (name == "tsv") return ScanFormat::Tsv;
    if (name == "csv") return ScanFormat::Csv;
    if (name == "json") return ScanFormat::Json;
    if (name == "jsonl") return ScanFormat::Jsonl;
    if (name == "bodyfile") return ScanFormat::Bodyfile;
    return std::nullopt;
}

const char* ScanFormatNames() {
    return "tsv, csv, json, jsonl, bodyfile";
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(text);
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

void AppendCsvHeader(std::string& out) {
    out += "position,record,name,type,size,created,modified,path,recoverable,flags,source\r\n";
}

void AppendCsvRow(std::string& out, const ScanRow& row, const std::string& name8,
                  const std::string& path8, const std::string& flags) {
    AppendPosition(out, row.position);
    out += ',';
    AppendUnsigned(out, row.record);
    out += ',';
    AppendCsvField(out, name8);
    out += ',';
    AppendCsvField(out, row.kind == RowKind::Folder ? std::string("folder") : ExtensionOf(name8));
    out += ',';
    if (row.kind != RowKind::Folder) AppendUnsigned(out, row.size);
    out += ',';
    AppendIsoUtc(out, row.created);
    out += ',';
    AppendIsoUtc(out, row.modified);
    out += ',';
    AppendCsvField(out, path8);
    out += ',';
    if (row.recoverable != kRecoverableUnknown) AppendUnsigned(out, row.recoverable);
    out += ',';
    AppendCsvField(out, flags);
    out += ',';
    out += RowSourceText(row.source, row.snapshot);
    out += "\r\n";
}

std::int64_t UnixSeconds(std::uint64_t fileTime) {
    constexpr std::uint64_t kTicksPerSecond = 10'000'000;
    constexpr std::uint64_t kEpochSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01
    const std::uint64_t seconds = fileTime / kTicksPerSecond;
    if (seconds < kEpochSeconds || fileTime >= (std::uint64_t{1} << 63)) return 0;
    return static_cast<std::int64_t>(seconds - kEpochSeconds);
}

void AppendBodyName(std::string& out, std::string_view name8) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (char ch : name8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '|' || c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            out += ch;
        }
    }
}

namespace {

void AppendBodyLine(std::string& out, const ScanRow& row, const std::string& name8,
                    std::string_view suffix, std::uint64_t atime, std::uint64_t mtime,
                    std::uint64_t ctime, std::uint64_t crtime) {
    out += "0|";
    AppendBodyName(out, name8);
    out.append(suffix);
    out += '|';
    AppendUnsigned(out, row.record);
    // The mode column as The Sleuth Kit writes it: d/d for a folder, r/r for the rest.
    out += row.kind == RowKind::Folder ? "|d/drwxrwxrwx|0|0|" : "|r/rrwxrwxrwx|0|0|";
    AppendUnsigned(out, row.size);
    for (std::uint64_t t : {atime, mtime, ctime, crtime}) {
        out += '|';
        out += std::to_string(UnixSeconds(t));
    }
    out += '\n';
}

}  // namespace

void AppendBodyRows(std::string& out, const ScanRow& row, const std::string& name8) {
    AppendBodyLine(out, row, name8, "", row.accessed, row.modified, row.mftChanged, row.created);
    AppendBodyLine(out, row, name8, " ($FILE_NAME)", row.fnAccessed, row.fnModified,
                   row.fnMftChanged, row.fnCreated);
}

}  // namespace qm::cli
