#include "deep/carve/CarveReader.h"

#include <algorithm>
#include <cstring>

#include "base/Crc32.h"

namespace qm::deep {

namespace {
constexpr std::size_t kChunk = CarveReader::kMaxView;
}  // namespace

CarveReader::CarveReader(CarveInput& input)
    : in_(input),
      limit_(input.Limit()),
      cache_(static_cast<std::size_t>(std::min<std::uint64_t>(2 * kChunk, limit_))) {}

bool CarveReader::Load(std::uint64_t offset, std::size_t length) {
    if (offset >= cacheAt_ && offset - cacheAt_ + length <= cacheLen_) return true;
    const std::uint64_t room = offset < limit_ ? limit_ - offset : 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(cache_.size(), room));
    cacheAt_ = offset;
    cacheLen_ = want ? in_.Read(offset, std::span<std::uint8_t>(cache_.data(), want)) : 0;
    return length <= cacheLen_;
}

std::optional<ByteView> CarveReader::View(std::uint64_t offset, std::size_t length) {
    if (length > kMaxView || !CheckedAdd(offset, length) || offset + length > limit_)
        return std::nullopt;
    if (!Load(offset, length)) return std::nullopt;
    return ByteView(cache_.data() + (offset - cacheAt_), length);
}

ByteView CarveReader::ViewUpTo(std::uint64_t offset, std::size_t length) {
    length = std::min(length, kMaxView);
    if (offset >= limit_) return {};
    Load(offset, length);
    if (offset < cacheAt_ || offset - cacheAt_ > cacheLen_) return {};
    const std::size_t have = cacheLen_ - static_cast<std::size_t>(offset - cacheAt_);
    return ByteView(cache_.data() + (offset - cacheAt_), std::min(length, have));
}

std::optional<std::uint64_t> CarveReader::Find(std::string_view needle, std::uint64_t from,
                                               std::uint64_t to) {
    to = std::min(to, limit_);
    if (needle.empty() || needle.size() > kChunk) return std::nullopt;
    while (from < to && to - from >= needle.size()) {
        const ByteView v = ViewUpTo(from, kChunk + needle.size() - 1);
        if (v.size() < needle.size()) return std::nullopt;
        const std::size_t span =
            static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), to - from));
        const auto* begin = reinterpret_cast<const char*>(v.data());
        const std::string_view hay(begin, span);
        const std::size_t at = hay.find(needle);
        if (at != std::string_view::npos) return from + at;
        if (span < needle.size()) return std::nullopt;
        from += span - needle.size() + 1;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> CarveReader::FindLast(std::string_view needle, std::uint64_t from,
                                                   std::uint64_t to) {
    to = std::min(to, limit_);
    if (needle.empty() || needle.size() > kChunk) return std::nullopt;
    while (to > from && to - from >= needle.size()) {
        const std::uint64_t start = to - from > kChunk ? to - kChunk : from;
        const ByteView v = ViewUpTo(start, static_cast<std::size_t>(to - start));
        const std::string_view hay(reinterpret_cast<const char*>(v.data()), v.size());
        const std::size_t at = hay.rfind(needle);
        if (at != std::string_view::npos && start + at + needle.size() <= to) return start + at;
        if (start == from || v.size() < to - start) return std::nullopt;
        to = start + needle.size() - 1;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> CarveReader::Crc(std::uint64_t offset, std::uint64_t length) {
    std::uint32_t crc = 0;
    while (length > 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(length, kChunk));
        const auto v = View(offset, k);
        if (!v) return std::nullopt;
        crc = Crc32(crc, *v);
        offset += k;
        length -= k;
    }
    return crc;
}

std::size_t InputSource::Read(std::span<std::uint8_t> out) {
    if (pos_ >= end_) return 0;
    const std::size_t k =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), end_ - pos_));
    const std::size_t got = in_.Read(pos_, out.first(k));
    pos_ += got;
    return got;
}

std::size_t MemoryInput::Read(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset >= bytes_.size()) return 0;
    const std::size_t k =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, k);
    return k;
}

}  // namespace qm::deep
