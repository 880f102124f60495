// The forms `scan` prints its rows in besides the default tab-separated text:
// CSV, one JSON document, JSON lines, and the body file that timeline tools
// (mactime) read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "scan/ScanEngine.h"

namespace qm::cli {

enum class ScanFormat { Tsv, Csv, Json, Jsonl, Bodyfile };

// "tsv", "csv", "json", "jsonl", "bodyfile"; nullopt for anything else.
std::optional<ScanFormat> ParseScanFormat(std::string_view name);

// The names ParseScanFormat takes, for messages: "tsv, csv, json, jsonl, bodyfile".
const char* ScanFormatNames();

// A CSV field (RFC 4180): quoted when it holds a comma, a quote, CR or LF,
// quotes doubled inside.
void AppendCsvField(std::string& out, std::string_view text);

// The CSV header and a row: the same columns as the tab-separated listing
// (`name8` the name column, `path8` the full path, `flags` the flags' words).
void AppendCsvHeader(std::string& out);
void AppendCsvRow(std::string& out, const ScanRow& row, const std::string& name8,
                  const std::string& path8, const std::string& flags);

// Seconds since 1970 of a FILETIME, 0 for one before 1970 or past what a
// timeline can show, as The Sleuth Kit writes them.
std::int64_t UnixSeconds(std::uint64_t fileTime);

// A name in a body-file field: "|" (the field separator) becomes \x7c, a
// backslash \\, control bytes \xHH; UTF-8 stays as it is.
void AppendBodyName(std::string& out, std::string_view name8);

// Two body-file lines (The Sleuth Kit 3.x format,
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime): the
// $STANDARD_INFORMATION times under the name, then the $FILE_NAME times under
// "NAME ($FILE_NAME)". The inode field is the MFT record number.
void AppendBodyRows(std::string& out, const ScanRow& row, const std::string& name8);

}  // namespace qm::cli
