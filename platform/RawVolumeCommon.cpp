// Backend-independent volumes: memory, sub-volumes, and the "@OFFSET" source form.
#include <algorithm>
#include <cstring>

#include "platform/RawVolume.h"
#include "platform/images/ImageVolume.h"

namespace qm {

std::size_t MemoryVolume::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) {
    std::size_t n = 0;
    if (offset < bytes_.size()) {
        n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), bytes_.size() - offset));
        std::memcpy(buf.data(), bytes_.data() + offset, n);
    }
    std::fill(buf.begin() + static_cast<std::ptrdiff_t>(n), buf.end(), std::uint8_t{0});
    return n;
}

namespace {

class SubVolume final : public RawVolume {
public:
    SubVolume(std::shared_ptr<RawVolume> base, std::uint64_t offset, std::uint64_t size,
              std::string name)
        : base_(std::move(base)), offset_(offset), size_(size), name_(std::move(name)) {}

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        // Reads stop at the end of the window; the rest is zero.
        std::uint64_t want = buf.size();
        if (size_ != 0) want = offset >= size_ ? 0 : std::min<std::uint64_t>(want, size_ - offset);
        std::uint64_t abs;
        std::size_t n = 0;
        if (want > 0 && !__builtin_add_overflow(offset_, offset, &abs))
            n = base_->ReadAt(abs, buf.first(static_cast<std::size_t>(want)));
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(n), buf.end(), std::uint8_t{0});
        return n;
    }
    std::uint64_t Size() const override {
        if (size_ != 0) return size_;
        std::uint64_t b = base_->Size();
        return b > offset_ ? b - offset_ : 0;
    }
    const std::string& Name() const override { return name_; }
    std::uint32_t SectorSize() const override { return base_->SectorSize(); }
    RawVolume* Parent() override { return base_.get(); }
    bool Answers() override { return base_->Answers(); }
    std::uint64_t OffsetInParent() const override { return offset_; }

private:
    std::shared_ptr<RawVolume> base_;
    std::uint64_t offset_, size_;
    std::string name_;
};

}  // namespace

std::unique_ptr<RawVolume> MakeSubVolume(std::shared_ptr<RawVolume> base, std::uint64_t offset,
                                         std::uint64_t size, std::string name) {
    return std::make_unique<SubVolume>(std::move(base), offset, size, std::move(name));
}

SourceSpec ParseSourceSpec(std::string_view source) {
    SourceSpec spec{std::string(source), std::nullopt};
    auto at = source.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= source.size()) return spec;
    std::uint64_t v = 0;
    for (char c : source.substr(at + 1)) {
        if (c < '0' || c > '9') return spec;
        if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, unsigned(c - '0'), &v))
            return spec;
    }
    spec.path = std::string(source.substr(0, at));
    spec.offset = v;
    return spec;
}

ErrorOr<std::unique_ptr<RawVolume>> OpenRawVolume(std::string_view source) {
    SourceSpec spec = ParseSourceSpec(source);
    if (!spec.offset) return OpenImagePath(spec.path);
    auto base = OpenImagePath(spec.path);
    if (!base) return base.take_error();
    std::shared_ptr<RawVolume> shared = std::move(base).value();
    return MakeSubVolume(std::move(shared), *spec.offset, 0, std::string(source));
}

}  // namespace qm
