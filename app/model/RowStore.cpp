#include "app/model/RowStore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace qm::window {
namespace {

constexpr std::size_t kPageSize = 256 * 1024;

inline unsigned char Fold(unsigned char c) {
    return (c >= 0x61 && c <= 0x7A) ? c - 0x20 : c;
}

// Sixteen bytes of a text from `offset` on, folded, as two big-endian numbers
// padded with zeros: where the keys of two texts differ they order the texts
// as CompareTextAscii does; where they tie, the next sixteen bytes (and at the
// end the lengths) decide.
struct SortEntry {
    std::uint64_t k0 = 0, k1 = 0;
    std::uint32_t row = 0, length = 0;
};

void MakeKey(std::string_view t, std::size_t offset, SortEntry& e) {
    std::uint64_t k[2] = {0, 0};
    const std::size_t end = std::min<std::size_t>(t.size(), offset + 16);
    for (std::size_t i = offset; i < end; ++i) {
        const std::size_t j = i - offset;
        k[j / 8] |= std::uint64_t{Fold(static_cast<unsigned char>(t[i]))} << (8 * (7 - j % 8));
    }
    e.k0 = k[0];
    e.k1 = k[1];
}

bool SameKey(const SortEntry& a, const SortEntry& b) {
    return a.k0 == b.k0 && a.k1 == b.k1;
}

// "0%" to "100%"; "" for a share not known.
std::string_view PercentText(std::uint8_t percent) {
    static const auto kTexts = [] {
        std::array<std::array<char, 8>, 101> t{};
        for (std::size_t i = 0; i < t.size(); ++i)
            std::snprintf(t[i].data(), t[i].size(), "%zu%%", i);
        return t;
    }();
    if (percent >= kTexts.size()) return {};
    return std::string_view(kTexts[percent].data());
}

// The percentage's order: not known first, then 0 to 100.
int PercentKey(std::uint8_t percent) {
    return percent > 100 ? 0 : percent + 1;
}

}  // namespace

int CompareTextAscii(std::string_view a, std::string_view b) {
    const std::size_t m = std::min(a.size(), b.size());
    for (std::size_t k = 0; k < m; ++k) {
        const auto x = static_cast<unsigned char>(a[k]);
        const auto y = static_cast<unsigned char>(b[k]);
        if (x == y) continue;
        const int fx = Fold(x), fy = Fold(y);
        if (fx != fy) return fx - fy;
    }
    const auto diff = static_cast<std::ptrdiff_t>(a.size()) - static_cast<std::ptrdiff_t>(b.size());
    return static_cast<int>(std::clamp<std::ptrdiff_t>(diff, -0x7FFFFFFF, 0x7FFFFFFF));
}

RowStore::RowStore() = default;
RowStore::~RowStore() = default;

const char* RowStore::ColumnCaption(int column) {
    static constexpr const char* kCaptions[kColumns] = {"记录位置", "文件名",   "文件类型",
                                                        "文件大小", "创建日期", "最后修改日期",
                                                        "原路径",   "可恢复"};
    return (column >= 0 && column < kColumns) ? kCaptions[column] : "";
}

int RowStore::ColumnWidth(int column) {
    static constexpr int kWidths[kColumns] = {100, 200, 100, 100, 160, 160, 200, 60};
    return (column >= 0 && column < kColumns) ? kWidths[column] : 0;
}

char* RowStore::Allocate(std::size_t bytes) {
    if (bytes > pageFree_) {
        const std::size_t size = std::max(bytes, kPageSize);
        pages_.push_back(std::unique_ptr<char[]>(new char[size]));
        pageBytes_ += size;
        pageNext_ = pages_.back().get();
        pageFree_ = size;
    }
    char* p = pageNext_;
    pageNext_ += bytes;
    pageFree_ -= bytes;
    return p;
}

void RowStore::Pack(const std::array<std::string_view, kPacked>& texts, Row& row) {
    // Every text but the name is short; the name gives way if a row would not
    // fit the 16-bit offsets (it cannot, with names of at most 255 UTF-16 units).
    std::array<std::size_t, kPacked> len{};
    std::size_t total = 0;
    for (std::size_t c = 0; c < kPacked; ++c) {
        len[c] = std::min<std::size_t>(texts[c].size(), 8192);
        total += len[c];
    }
    char* p = Allocate(total);
    row.text = p;
    std::size_t at = 0;
    for (std::size_t c = 0; c < kPacked; ++c) {
        if (len[c]) std::memcpy(p + at, texts[c].data(), len[c]);
        at += len[c];
        row.end[c] = static_cast<std::uint16_t>(at);
    }
}

std::string_view RowStore::TextOf(const Row& row, int column) const {
    if (column == kPathColumn)
        return row.folder < folders_.size() ? folders_[row.folder] : std::string_view();
    if (column == kRecoverableColumn) return PercentText(row.recoverable);
    if (column < 0 || column >= kPacked) return {};
    const std::size_t c = static_cast<std::size_t>(column);
    const std::size_t begin = c == 0 ? 0 : row.end[c - 1];
    return std::string_view(row.text + begin, row.end[c] - begin);
}

std::string_view RowStore::Text(int row, int column) const {
    return TextOf(rows_[static_cast<std::size_t>(row)], column);
}

void RowStore::AppendRows(const std::vector<RowTexts>& rows) {
    if (rows.empty()) return;
    const int first = Count();
    if (listener_) listener_->BeforeAppend(first, first + static_cast<int>(rows.size()) - 1);
    for (const RowTexts& r : rows) {
        Row row;
        Pack({r.caption, r.name, r.type, r.size, r.created, r.modified}, row);
        row.folder = r.folder;
        row.recoverable = r.recoverable;
        rows_.push_back(row);
    }
    if (listener_) listener_->AfterAppend();
}

void RowStore::SetFolders(const std::vector<std::string>& folders) {
    folders_.clear();
    folders_.reserve(folders.size());
    for (const std::string& f : folders) {
        char* p = Allocate(f.size());
        if (!f.empty()) std::memcpy(p, f.data(), f.size());
        folders_.emplace_back(p, f.size());
    }
    if (listener_ && !rows_.empty()) listener_->ColumnChanged(kPathColumn);
}

void RowStore::Clear() {
    if (listener_) listener_->BeforeReset();
    rows_.clear();
    rows_.shrink_to_fit();
    folders_.clear();
    folders_.shrink_to_fit();
    pages_.clear();
    pageFree_ = 0;
    pageBytes_ = 0;
    pageNext_ = nullptr;
    checkedCount_ = 0;
    if (listener_) listener_->AfterReset();
}

void RowStore::SetChecked(int row, bool checked) {
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (r.checked == checked) return;
    r.checked = checked;
    checkedCount_ += checked ? 1 : -1;
    if (listener_) listener_->ChecksChanged(row, row);
}

void RowStore::ChecksChangedAll() {
    if (listener_ && !rows_.empty()) listener_->ChecksChanged(0, Count() - 1);
}

void RowStore::SetAllChecked(bool checked) {
    for (Row& r : rows_) r.checked = checked;
    checkedCount_ = checked ? Count() : 0;
    ChecksChangedAll();
}

void RowStore::InvertChecks() {
    for (Row& r : rows_) r.checked = !r.checked;
    checkedCount_ = Count() - checkedCount_;
    ChecksChangedAll();
}

void RowStore::SetCaption(int row, std::string_view caption) {
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (caption.size() > kMaxEditedCaption) caption = caption.substr(0, kMaxEditedCaption);
    // The new caption is copied into the store before the old texts go.
    const std::string own(caption);
    std::array<std::string_view, kPacked> texts;
    texts[0] = own;
    for (int c = 1; c < kPacked; ++c) texts[static_cast<std::size_t>(c)] = TextOf(r, c);
    Pack(texts, r);
    if (listener_) listener_->TextChanged(row, 0);
}

std::vector<std::uint32_t> RowStore::TextOrder(int column) const {
    const std::size_t n = rows_.size();
    std::vector<SortEntry> order(n);
    for (std::size_t i = 0; i < n; ++i) {
        order[i].row = static_cast<std::uint32_t>(i);
        order[i].length = static_cast<std::uint32_t>(TextOf(rows_[i], column).size());
    }
    // Sort by sixteen bytes at a time, refining only the runs that tie. Ties
    // that remain are equal texts: they keep their order.
    struct Range {
        std::size_t begin, end, level;
    };
    std::vector<Range> work{{0, n, 0}};
    auto byKey = [](const SortEntry& a, const SortEntry& b) {
        if (a.k0 != b.k0) return a.k0 < b.k0;
        if (a.k1 != b.k1) return a.k1 < b.k1;
        return a.row < b.row;
    };
    auto byLength = [](const SortEntry& a, const SortEntry& b) {
        return a.length != b.length ? a.length < b.length : a.row < b.row;
    };
    while (!work.empty()) {
        const Range r = work.back();
        work.pop_back();
        const std::size_t offset = r.level * 16;
        for (std::size_t i = r.begin; i < r.end; ++i)
            MakeKey(TextOf(rows_[order[i].row], column), offset, order[i]);
        std::sort(order.begin() + static_cast<std::ptrdiff_t>(r.begin),
                  order.begin() + static_cast<std::ptrdiff_t>(r.end), byKey);
        for (std::size_t a = r.begin; a < r.end;) {
            std::size_t b = a + 1;
            bool longer = order[a].length > offset + 16;
            while (b < r.end && SameKey(order[a], order[b]))
                longer |= order[b++].length > offset + 16;
            if (b - a > 1) {
                if (longer)
                    work.push_back({a, b, r.level + 1});
                else
                    std::sort(order.begin() + static_cast<std::ptrdiff_t>(a),
                              order.begin() + static_cast<std::ptrdiff_t>(b), byLength);
            }
            a = b;
        }
    }

    std::vector<std::uint32_t> rows(n);
    for (std::size_t i = 0; i < n; ++i) rows[i] = order[i].row;
    return rows;
}

// A stable counting sort of the rows by a small key each.
std::vector<std::uint32_t> RowStore::OrderByKey(const std::vector<std::uint32_t>& key) const {
    const std::uint32_t most = key.empty() ? 0 : *std::max_element(key.begin(), key.end());
    std::vector<std::uint32_t> start(std::size_t{most} + 2, 0);
    for (std::uint32_t k : key) ++start[std::size_t{k} + 1];
    for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
    std::vector<std::uint32_t> order(key.size());
    for (std::size_t row = 0; row < key.size(); ++row)
        order[start[key[row]]++] = static_cast<std::uint32_t>(row);
    return order;
}

// Each folder's place in the text order, equal texts sharing one; the place
// after the last folder stands for "no folder" (an empty text).
std::vector<std::uint32_t> RowStore::FolderRanks() const {
    std::vector<std::uint32_t> byText(folders_.size() + 1);
    for (std::size_t i = 0; i < byText.size(); ++i) byText[i] = static_cast<std::uint32_t>(i);
    auto text = [this](std::uint32_t f) {
        return f < folders_.size() ? folders_[f] : std::string_view();
    };
    std::stable_sort(byText.begin(), byText.end(), [&](std::uint32_t a, std::uint32_t b) {
        return CompareTextAscii(text(a), text(b)) < 0;
    });
    std::vector<std::uint32_t> rank(byText.size());
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < byText.size(); ++i) {
        if (i > 0 && CompareTextAscii(text(byText[i - 1]), text(byText[i])) != 0) ++at;
        rank[byText[i]] = at;
    }
    return rank;
}

int RowStore::Compare(int rowA, int rowB, int column) const {
    const Row& a = rows_[static_cast<std::size_t>(rowA)];
    const Row& b = rows_[static_cast<std::size_t>(rowB)];
    if (column == kRecoverableColumn) return PercentKey(a.recoverable) - PercentKey(b.recoverable);
    return CompareTextAscii(TextOf(a, column), TextOf(b, column));
}

std::vector<std::uint32_t> RowStore::SortedOrder(int column) const {
    if (column != kRecoverableColumn && column != kPathColumn) return TextOrder(column);
    // Few distinct values: the rows are put in place by their value's rank.
    const std::vector<std::uint32_t> rank =
        column == kPathColumn ? FolderRanks() : std::vector<std::uint32_t>();
    std::vector<std::uint32_t> key(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        key[i] = column == kRecoverableColumn
                     ? static_cast<std::uint32_t>(PercentKey(r.recoverable))
                     : rank[std::min<std::size_t>(r.folder, folders_.size())];
    }
    return OrderByKey(key);
}

void RowStore::SortByColumn(int column) {
    if (column < 0 || column >= kColumns || rows_.size() < 2) return;
    const std::vector<std::uint32_t> order = SortedOrder(column);
    if (listener_) listener_->BeforeSort();
    std::vector<Row> sorted(rows_.size());
    std::vector<int> newPlace(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sorted[i] = rows_[order[i]];
        newPlace[order[i]] = static_cast<int>(i);
    }
    rows_.swap(sorted);
    if (listener_) listener_->AfterSort(newPlace);
}

}  // namespace qm::window
