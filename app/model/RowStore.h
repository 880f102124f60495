// The rows of the result list: one row per deleted file, its texts and a tick.
// Texts are held in the user's 8-bit code page, packed into shared pages, so
// that a million rows stay small and sort quickly; the rows of one folder
// share its text. No toolkit: each face draws the rows from here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scan/uScanThread.h"

namespace qm::window {

using gui::RowTexts;

// Byte-wise text order of the list: a-z fold to A-Z, every other byte (the
// bytes of double-byte characters included) compares by its value; when one
// text is a prefix of the other the shorter comes first.
int CompareTextAscii(std::string_view a, std::string_view b);

// Told of every change, before and after, so that a face can keep its list
// view in step. Row numbers are places in the list as it is shown.
class RowStoreListener {
public:
    virtual ~RowStoreListener() = default;
    virtual void BeforeAppend(int /*first*/, int /*last*/) {}
    virtual void AfterAppend() {}
    virtual void BeforeReset() {}
    virtual void AfterReset() {}
    virtual void ChecksChanged(int /*first*/, int /*last*/) {}
    virtual void TextChanged(int /*row*/, int /*column*/) {}
    // Every row's text of `column` may have changed.
    virtual void ColumnChanged(int /*column*/) {}
    virtual void BeforeSort() {}
    // newPlace[old row] is the row's place after the sort.
    virtual void AfterSort(const std::vector<int>& /*newPlace*/) {}
};

class RowStore {
public:
    static constexpr int kColumns = 8;
    // The folder the file was in (filled in once the walk has ended), and the
    // share of its clusters still free ("100%"; empty when not known).
    static constexpr int kPathColumn = 6;
    static constexpr int kRecoverableColumn = 7;
    // A caption edited in place is kept to this many bytes.
    static constexpr std::size_t kMaxEditedCaption = 1024;

    RowStore();
    ~RowStore();
    RowStore(const RowStore&) = delete;
    RowStore& operator=(const RowStore&) = delete;

    void SetListener(RowStoreListener* listener) { listener_ = listener; }

    // Rows are appended unticked, after the rows already there.
    void AppendRows(const std::vector<RowTexts>& rows);
    // The folder texts the rows' `folder` places name; rows whose place is
    // not among them show no folder.
    void SetFolders(const std::vector<std::string>& folders);
    void Clear();

    int Count() const { return static_cast<int>(rows_.size()); }
    // "" for a column out of range.
    std::string_view Text(int row, int column) const;
    bool Checked(int row) const { return rows_[static_cast<std::size_t>(row)].checked; }
    void SetChecked(int row, bool checked);
    void SetAllChecked(bool checked);
    void InvertChecks();
    int CheckedCount() const { return checkedCount_; }
    // Replaces the caption (column 0) of `row`, cut to kMaxEditedCaption bytes.
    void SetCaption(int row, std::string_view caption);
    // Bytes held for the rows.
    std::size_t MemoryUse() const {
        return rows_.capacity() * sizeof(Row) + folders_.capacity() * sizeof(std::string_view) +
               pageBytes_;
    }

    // Orders two rows by `column`: the percentage by its number (not known
    // before 0), every other column by its text in CompareTextAscii order.
    int Compare(int rowA, int rowB, int column) const;
    // Sorts ascending by Compare; rows that compare equal keep their order.
    void SortByColumn(int column);

    // Column captions (UTF-8) and widths of the list.
    static const char* ColumnCaption(int column);
    static int ColumnWidth(int column);

private:
    // The texts of columns 0 to 5 are packed with the row; the folder's is shared.
    static constexpr int kPacked = 6;
    struct Row {
        const char* text = nullptr;                // the packed texts, back to back
        std::array<std::uint16_t, kPacked> end{};  // end of each text in `text`
        std::uint32_t folder = gui::kNoFolder;     // place in folders_
        std::uint8_t recoverable = kRecoverableUnknown;
        bool checked = false;
    };

    void Pack(const std::array<std::string_view, kPacked>& texts, Row& row);
    char* Allocate(std::size_t bytes);
    std::string_view TextOf(const Row& row, int column) const;
    std::vector<std::uint32_t> SortedOrder(int column) const;
    std::vector<std::uint32_t> TextOrder(int column) const;
    std::vector<std::uint32_t> OrderByKey(const std::vector<std::uint32_t>& key) const;
    std::vector<std::uint32_t> FolderRanks() const;
    void ChecksChangedAll();

    RowStoreListener* listener_ = nullptr;
    std::vector<Row> rows_;
    std::vector<std::string_view> folders_;  // texts in pages_
    std::vector<std::unique_ptr<char[]>> pages_;
    std::size_t pageFree_ = 0;
    std::size_t pageBytes_ = 0;
    char* pageNext_ = nullptr;
    int checkedCount_ = 0;
};

}  // namespace qm::window
