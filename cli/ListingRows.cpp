// The rows of `scan` as text; see ListingRows.h.
#include "cli/ListingRows.h"

#include <cstring>
#include <vector>

#include "cli/Format.h"
#include "platform/Platform.h"

namespace qm::cli {

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
    if (row.detail && !row.detail->note.empty()) add(row.detail->note.c_str());
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

// The source column: "mft" for nearly every row, so written without a string.
char* PutSource(char* p, const ScanRow& row) {
    if (row.source == RowSource::Mft) {
        std::memcpy(p, "mft", 3);
        return p + 3;
    }
    const std::string text = RowSourceText(row.source, row.snapshot);
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
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
    *p++ = '\t';
    p = PutSource(p, row);
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
    p = PutText(p, "\",\"source\":\"");
    p = PutSource(p, row);
    p = PutText(p, "\"}\n");
    out.append(start, p);
}

void RowPrinter::Begin(std::string& out) const {
    if (format_ == ScanFormat::Tsv)
        out +=
            "position\trecord\tname\ttype\tsize\tcreated\tmodified\tpath\trecoverable\tflags\tsourc"
            "e\n";
    else if (format_ == ScanFormat::Csv)
        AppendCsvHeader(out);
    else if (format_ == ScanFormat::Json)
        out += "[\n";
}

void RowPrinter::Row(std::string& out, const ScanRow& row, const RowExtras& x) {
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

void RowPrinter::End(std::string& out) const {
    if (format_ == ScanFormat::Json) out += rows_ > 0 ? "\n]\n" : "]\n";
}

}  // namespace qm::cli
