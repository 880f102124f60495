// The rows a listing holds come back as they went in, across block ends.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <tuple>

#include "cli/HeldRows.h"

namespace qm::cli {
namespace {

std::shared_ptr<const RowDetail> Detail(std::uint64_t n) {
    static std::map<std::uint64_t, std::shared_ptr<const RowDetail>> made;
    auto& d = made[n];
    if (!d)
        d = std::make_shared<RowDetail>(
            RowDetail{{}, u"/from/" + std::u16string(1, u'a' + n % 26), "note"});
    return d;
}

ScanRow MakeRow(std::uint64_t n) {
    ScanRow r;
    r.position = 0x4000 + n * 1024;
    r.record = n;
    // Names of every length up to the longest a volume holds, so that the text
    // fills its blocks unevenly; every seventh row is a stream row.
    r.name = std::u16string(1 + n % 255, static_cast<char16_t>(u'a' + n % 26));
    if (n % 7 == 0) {
        r.kind = RowKind::Stream;
        r.stream = u"Zone.Identifier";
    } else {
        r.kind = n % 5 == 0 ? RowKind::Folder : RowKind::File;
    }
    r.size = n * 3;
    r.created = n + 1, r.modified = n + 2, r.accessed = n + 3, r.mftChanged = n + 4;
    r.fnCreated = n + 5, r.fnModified = n + 6, r.fnMftChanged = n + 7, r.fnAccessed = n + 8;
    r.parent = (std::uint64_t{3} << 48) | (n / 10);
    r.recoverable = static_cast<std::uint8_t>(n % 101);
    r.flags = static_cast<std::uint8_t>(n % 16);
    // Rows of every source; a few carry details, which come back shared.
    r.source = static_cast<RowSource>(n % 6);
    r.snapshot = static_cast<std::uint16_t>(n % 3);
    if (n % 1000 == 999) r.detail = Detail(n);
    return r;
}

auto Fields(const ScanRow& r) {
    return std::tie(r.position, r.record, r.name, r.size, r.created, r.modified, r.accessed,
                    r.mftChanged, r.fnCreated, r.fnModified, r.fnMftChanged, r.fnAccessed, r.parent,
                    r.stream, r.recoverable, r.flags, r.kind, r.source, r.snapshot, r.detail);
}

TEST(HeldRows, RowsComeBackWholeAcrossBlocks) {
    constexpr std::uint64_t kRows = 9000;  // three blocks of rows, many of text
    for (bool allTimes : {true, false}) {
        HeldRows held(allTimes);
        for (std::uint64_t n = 0; n < kRows; ++n) held.Add(MakeRow(n));
        ASSERT_EQ(held.size(), kRows);
        ScanRow got;  // reused, as the printer does: nothing may leak from row to row
        for (std::uint64_t n = 0; n < kRows; ++n) {
            held.Get(n, got);
            ScanRow want = MakeRow(n);
            if (!allTimes)
                want.accessed = want.mftChanged = want.fnCreated = want.fnModified =
                    want.fnMftChanged = want.fnAccessed = 0;
            ASSERT_EQ(Fields(got), Fields(want)) << n << " all times " << allTimes;
        }
    }
}

}  // namespace
}  // namespace qm::cli
