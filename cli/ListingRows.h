// The rows of `scan` as text: the name, type, path and flags columns, and the
// tab-separated, CSV, JSON and body-file forms of a row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/ScanFormats.h"
#include "scan/ScanEngine.h"

namespace qm::cli {

// The row's name in UTF-8, in a buffer kept from row to row.
const std::string& NameUtf8(const std::u16string& name);

// What the listing adds to a row's own fields: its name column and path in
// UTF-8, and the words of its flags.
struct RowExtras {
    std::string name;  // RowName's
    std::string path;
    std::string flags;
    bool orphan = false;
};

std::string FlagsText(const ScanRow& row, bool orphan);

// The name column: the file's name, and ":stream" for a stream row.
const std::string& RowName(const ScanRow& row);

// Puts the rows in the chosen form: a header or an opening before the first,
// the rows, and a closing after the last.
class RowPrinter {
public:
    explicit RowPrinter(ScanFormat format) : format_(format) {}
    void Begin(std::string& out) const;
    void Row(std::string& out, const ScanRow& row, const RowExtras& x);
    // Only a JSON document has a closing.
    void End(std::string& out) const;

private:
    ScanFormat format_;
    std::uint64_t rows_ = 0;
};

}  // namespace qm::cli
