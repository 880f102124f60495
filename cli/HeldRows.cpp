#include "cli/HeldRows.h"

#include <algorithm>
#include <stdexcept>

namespace qm::cli {

void HeldRows::Add(const ScanRow& row) {
    const std::size_t at = count_ % kBlock;
    if (at == 0) {
        // Left uninitialised: each row is written whole before it is read.
        fixed_.emplace_back(new Fixed[kBlock]);
        if (allTimes_) times_.emplace_back(new Times[kBlock]);
    }
    fixed_.back()[at] = Fixed{row.position,
                              row.record,
                              row.size,
                              row.created,
                              row.modified,
                              row.parent,
                              KeepText(row),
                              static_cast<std::uint32_t>(row.name.size()),
                              static_cast<std::uint32_t>(row.stream.size()),
                              row.recoverable,
                              row.flags,
                              row.kind,
                              row.source,
                              row.snapshot};
    if (row.detail) details_[count_] = row.detail;
    if (allTimes_)
        times_.back()[at] = {row.accessed,   row.mftChanged,   row.fnCreated,
                             row.fnModified, row.fnMftChanged, row.fnAccessed};
    ++count_;
}

std::uint64_t HeldRows::KeepText(const ScanRow& row) {
    // A name is 255 units at most (its length is one byte on the volume).
    const std::size_t units = row.name.size() + row.stream.size();
    if (units > kTextBlock) throw std::length_error("name longer than a block of text");
    if (kTextBlock - textUsed_ < units) {
        text_.emplace_back(new char16_t[kTextBlock]);
        textUsed_ = 0;
    }
    char16_t* at = text_.back().get() + textUsed_;
    std::copy(row.name.begin(), row.name.end(), at);
    std::copy(row.stream.begin(), row.stream.end(), at + row.name.size());
    const std::uint64_t where = (text_.size() - 1) * kTextBlock + textUsed_;
    textUsed_ += units;
    return where;
}

void HeldRows::Get(std::size_t i, ScanRow& row) const {
    const Fixed& f = fixed_[i / kBlock][i % kBlock];
    row.position = f.position;
    row.record = f.record;
    row.size = f.size;
    row.created = f.created;
    row.modified = f.modified;
    row.parent = f.parent;
    const char16_t* at = text_[f.text / kTextBlock].get() + f.text % kTextBlock;
    row.name.assign(at, f.nameUnits);
    row.stream.assign(at + f.nameUnits, f.streamUnits);
    row.recoverable = f.recoverable;
    row.flags = f.flags;
    row.kind = f.kind;
    row.source = f.source;
    row.snapshot = f.snapshot;
    const auto detail = details_.find(i);
    row.detail = detail == details_.end() ? nullptr : detail->second;
    Times t{};
    if (allTimes_) t = times_[i / kBlock][i % kBlock];
    row.accessed = t[0];
    row.mftChanged = t[1];
    row.fnCreated = t[2];
    row.fnModified = t[3];
    row.fnMftChanged = t[4];
    row.fnAccessed = t[5];
}

std::size_t HeldRows::BytesHeld() const {
    return fixed_.size() * kBlock * sizeof(Fixed) + times_.size() * kBlock * sizeof(Times) +
           text_.size() * kTextBlock * sizeof(char16_t);
}

}  // namespace qm::cli
