// The rows a listing holds until the walk has ended and their folders are
// known. Kept compactly: the fixed fields in blocks, the names in one text.
// A ScanRow with its two strings, in a deque, costs about three times as
// much, and the memory a scan touches is what its page faults cost.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scan/ScanEngine.h"

namespace qm::cli {

class HeldRows {
public:
    // `allTimes`: keep the six times besides created and modified (the body
    // file prints them); without it, rows read back have those times 0.
    explicit HeldRows(bool allTimes) : allTimes_(allTimes) {}

    void Add(const ScanRow& row);
    std::size_t size() const { return count_; }
    // Row `i`, written into `row` (whose strings keep their buffers from row to row).
    void Get(std::size_t i, ScanRow& row) const;
    // Bytes held, for the memory figures.
    std::size_t BytesHeld() const;

private:
    // Copies the row's name and stream name; returns where they start.
    std::uint64_t KeepText(const ScanRow& row);

    struct Fixed {
        std::uint64_t position, record, size, created, modified, parent;
        std::uint64_t text;  // where the name, then the stream's name, start in the text
        std::uint32_t nameUnits, streamUnits;
        std::uint8_t recoverable, flags;
        RowKind kind;
        RowSource source;
        std::uint16_t snapshot;
    };
    using Times = std::array<std::uint64_t, 6>;
    static constexpr std::size_t kBlock = 4096;       // rows per block
    static constexpr std::size_t kTextBlock = 32768;  // UTF-16 units per block of text

    bool allTimes_;
    std::size_t count_ = 0;
    std::vector<std::unique_ptr<Fixed[]>> fixed_;
    std::vector<std::unique_ptr<Times[]>> times_;
    // The names in blocks that are never moved (a string that grew would copy
    // itself, touching twice the memory); a row's names never straddle two.
    std::vector<std::unique_ptr<char16_t[]>> text_;
    std::size_t textUsed_ = kTextBlock;  // units used in the last block
    // The details of the few rows that have them, by row.
    std::map<std::size_t, std::shared_ptr<const RowDetail>> details_;
};

}  // namespace qm::cli
