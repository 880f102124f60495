// SQLite databases. The 100-byte header gives the page size and, when its
// "version valid for" matches the change counter, the number of pages: the
// file is page size × page count long. To call it whole, the schema table
// (the b-tree rooted at page 1) is walked, and every table's and index's root
// page must hold a b-tree page header whose cells and children stay inside
// the page and the file.
#include <algorithm>
#include <deque>
#include <set>
#include <vector>

#include "deep/carve/CarveReader.h"
#include "deep/carve/Carver.h"

namespace qm::deep {
namespace {

constexpr std::string_view kMagic("SQLite format 3\0", 16);
constexpr std::size_t kMaxPagesWalked = 4096;

struct Db {
    std::uint32_t pageSize = 0, usable = 0, pages = 0;
};

// A varint (1 to 9 bytes, big-endian groups of 7 bits) at v[at].
std::optional<std::uint64_t> Varint(ByteView v, std::uint64_t& at) {
    std::uint64_t value = 0;
    for (int i = 0; i < 9; ++i) {
        const auto b = v.U8(at++);
        if (!b) return std::nullopt;
        if (i == 8) return (value << 8) | *b;
        value = (value << 7) | (*b & 0x7F);
        if (!(*b & 0x80)) return value;
    }
    return value;
}

bool ParseHeader(ByteView v, Db& db) {
    if (!v.Has(0, 100) || std::string_view(reinterpret_cast<const char*>(v.data()), 16) != kMagic)
        return false;
    const std::uint32_t size = *v.U16Be(16) == 1 ? 65536u : *v.U16Be(16);
    const std::uint8_t write = *v.U8(18), read = *v.U8(19), reserved = *v.U8(20);
    if (size < 512 || (size & (size - 1)) || write < 1 || write > 2 || read < 1 || read > 2 ||
        *v.U8(21) != 64 || *v.U8(22) != 32 || *v.U8(23) != 32 || size - reserved < 480)
        return false;
    const std::uint32_t format = *v.U32Be(44), encoding = *v.U32Be(56);
    if (format < 1 || format > 4 || encoding > 3) return false;
    db.pageSize = size;
    db.usable = size - reserved;
    // The page count is kept up to date by writers since 2010; older ones
    // leave it stale, and the change counter then differs.
    if (*v.U32Be(92) != *v.U32Be(24)) return true;
    db.pages = *v.U32Be(28);
    return db.pages > 0 && *v.U32Be(32) <= db.pages && *v.U32Be(36) < db.pages;
}

class SqliteWalk {
public:
    explicit SqliteWalk(CarveInput& input) : r_(input) {}
    CarveResult Run();

private:
    std::optional<ByteView> Page(std::uint32_t n) {
        return r_.View(std::uint64_t{n - 1} * db_.pageSize, db_.pageSize);
    }
    bool BtreePage(std::uint32_t n, std::vector<std::uint32_t>* children,
                   std::vector<std::uint32_t>* roots);
    void SchemaCell(ByteView page, std::uint64_t at, std::vector<std::uint32_t>& roots) const;
    bool Walk();

    CarveReader r_;
    Db db_;
    std::uint64_t badPage_ = 0;
};

// The root page column (the fourth) of one schema row, when the row's local
// part holds it.
void SqliteWalk::SchemaCell(ByteView page, std::uint64_t at,
                            std::vector<std::uint32_t>& roots) const {
    const auto payload = Varint(page, at);
    if (!payload || !Varint(page, at)) return;
    std::uint64_t h = at;
    const auto headerLen = Varint(page, h);
    if (!headerLen) return;
    std::uint64_t body = at + *headerLen, types[4] = {};
    for (int i = 0; i < 4; ++i) {
        const auto t = Varint(page, h);
        if (!t || h > at + *headerLen) return;
        types[i] = *t;
    }
    static constexpr unsigned kIntWidth[7] = {0, 1, 2, 3, 4, 6, 8};
    auto width = [](std::uint64_t t) -> std::uint64_t {
        if (t <= 6) return kIntWidth[t];
        if (t == 7) return 8;
        return t >= 12 ? (t - 12) / 2 : 0;
    };
    for (int i = 0; i < 3; ++i) body += width(types[i]);
    if (types[3] < 1 || types[3] > 4) return;  // views and triggers have no root page
    std::uint64_t v = 0;
    for (unsigned i = 0; i < kIntWidth[types[3]]; ++i) {
        const auto b = page.U8(body + i);
        if (!b) return;
        v = v << 8 | *b;
    }
    roots.push_back(static_cast<std::uint32_t>(v));
}

// Checks the b-tree page header of page n: its kind, its cells inside the
// page, its children inside the file. Interior pages give their children;
// schema leaves their rows' root pages.
bool SqliteWalk::BtreePage(std::uint32_t n, std::vector<std::uint32_t>* children,
                           std::vector<std::uint32_t>* roots) {
    if (n == 0 || n > db_.pages) return false;
    const auto page = Page(n);
    if (!page) return false;
    const std::uint64_t base = n == 1 ? 100 : 0;
    const std::uint8_t kind = *page->U8(base);
    if (kind != 2 && kind != 5 && kind != 10 && kind != 13) return (badPage_ = n), false;
    const bool interior = kind == 2 || kind == 5;
    const std::uint64_t headerLen = interior ? 12 : 8;
    const std::uint16_t cells = *page->U16Be(base + 3);
    const std::uint32_t content = *page->U16Be(base + 5) == 0 ? 65536u : *page->U16Be(base + 5);
    if (base + headerLen + 2u * cells > db_.usable || content > db_.pageSize)
        return (badPage_ = n), false;
    for (std::uint16_t i = 0; i < cells; ++i) {
        const std::uint16_t cell = *page->U16Be(base + headerLen + 2u * i);
        if (cell < base + headerLen + 2u * cells || cell >= db_.usable)
            return (badPage_ = n), false;
        if (interior && children) {
            const auto child = page->U32Be(cell);
            if (!child || *child == 0 || *child > db_.pages) return (badPage_ = n), false;
            children->push_back(*child);
        }
        if (!interior && roots && kind == 13) SchemaCell(*page, cell, *roots);
    }
    if (interior) {
        const std::uint32_t right = *page->U32Be(base + 8);
        if (right == 0 || right > db_.pages) return (badPage_ = n), false;
        if (children) children->push_back(right);
    }
    return true;
}

bool SqliteWalk::Walk() {
    std::vector<std::uint32_t> roots;
    std::deque<std::uint32_t> queue{1};
    std::set<std::uint32_t> seen;
    while (!queue.empty()) {
        const std::uint32_t n = queue.front();
        queue.pop_front();
        if (!seen.insert(n).second || seen.size() > kMaxPagesWalked) return false;
        std::vector<std::uint32_t> children;
        if (!BtreePage(n, &children, &roots)) return false;
        queue.insert(queue.end(), children.begin(), children.end());
    }
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
    if (roots.size() > kMaxPagesWalked) roots.resize(kMaxPagesWalked);
    for (std::uint32_t root : roots)
        if (!BtreePage(root, nullptr, nullptr)) {
            if (badPage_ == 0) badPage_ = root;
            return false;
        }
    return true;
}

CarveResult SqliteWalk::Run() {
    const auto head = r_.View(0, 100);
    if (!head || !ParseHeader(*head, db_)) return {};
    CarveResult res;
    res.type = "sqlite";
    res.validation = Validation::Partial;
    res.length = std::min<std::uint64_t>(db_.pageSize, r_.Limit());
    const std::uint64_t length = std::uint64_t{db_.pageSize} * db_.pages;
    if (db_.pages == 0) return res;
    if (length > r_.Limit() || !r_.View(length - 1, 1)) {
        res.failedAt = std::min(length, r_.Limit());
        return res;
    }
    if (!Walk()) {
        if (badPage_ == 1 || res.length < db_.pageSize) res.length = 100;
        res.failedAt = badPage_ ? std::uint64_t{badPage_ - 1} * db_.pageSize : 0;
        return res;
    }
    res.validation = Validation::Whole;
    res.length = length;
    return res;
}

class SqliteCarver final : public Carver {
public:
    std::string_view Name() const override { return "sqlite"; }
    bool Starts(ByteView head) const override {
        return head.size() >= 16 &&
               std::string_view(reinterpret_cast<const char*>(head.data()), 16) == kMagic;
    }
    CarveResult Carve(CarveInput& input) const override { return SqliteWalk(input).Run(); }
};

}  // namespace

const Carver& SqliteFormat() {
    static const SqliteCarver carver;
    return carver;
}

}  // namespace qm::deep
