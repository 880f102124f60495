// A volume that lets one reader at a time through to another, for a source
// shared by threads (image libraries and bounce buffers are not thread-safe).
#pragma once

#include <mutex>

#include "platform/RawVolume.h"

namespace qm {

class SerialisedVolume final : public RawVolume {
public:
    explicit SerialisedVolume(RawVolume& inner) : inner_(inner) {}
    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        std::lock_guard lock(mutex_);
        return inner_.ReadAt(offset, buf);
    }
    std::uint64_t Size() const override { return inner_.Size(); }
    const std::string& Name() const override { return inner_.Name(); }
    std::uint32_t SectorSize() const override { return inner_.SectorSize(); }
    RawVolume* Parent() override { return inner_.Parent(); }
    std::uint64_t OffsetInParent() const override { return inner_.OffsetInParent(); }
    bool Answers() override {
        std::lock_guard lock(mutex_);
        return inner_.Answers();
    }

private:
    RawVolume& inner_;
    std::mutex mutex_;
};

}  // namespace qm
