// A volume for tests that fails where the test says, like a disk with bad
// sectors: reads that touch chosen byte ranges fail whole or stop short, and
// what they do not deliver reads as zeros. Every read is logged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RawVolume.h"

namespace qm::testing {

class FaultyVolume final : public RawVolume {
public:
    struct ReadCall {
        std::uint64_t offset = 0;
        std::size_t length = 0;
        std::size_t delivered = 0;
    };

    explicit FaultyVolume(std::shared_ptr<RawVolume> base, std::string name = "faulty")
        : base_(std::move(base)), name_(std::move(name)) {}
    explicit FaultyVolume(std::vector<std::uint8_t> bytes, std::string name = "faulty")
        : FaultyVolume(std::make_shared<MemoryVolume>(std::move(bytes)), std::move(name)) {}

    // A read that touches [begin, end) delivers nothing: ReadAt returns 0 and
    // the whole buffer is zeros (a request that fails with an I/O error).
    FaultyVolume& FailRange(std::uint64_t begin, std::uint64_t end) {
        std::lock_guard lock(mu_);
        faults_.push_back({begin, end, false});
        return *this;
    }
    // A read that touches [begin, end) stops at `begin`: the bytes before it are
    // delivered, the rest is zeros (a request cut short by a bad sector).
    FaultyVolume& ShortRange(std::uint64_t begin, std::uint64_t end) {
        std::lock_guard lock(mu_);
        faults_.push_back({begin, end, true});
        return *this;
    }
    // The next `count` reads fail whole, wherever they are (a transient error).
    FaultyVolume& FailNextReads(int count) {
        std::lock_guard lock(mu_);
        failNext_ = count;
        return *this;
    }
    void ClearFaults() {
        std::lock_guard lock(mu_);
        faults_.clear();
        failNext_ = 0;
    }

    std::vector<ReadCall> Reads() const {
        std::lock_guard lock(mu_);
        return reads_;
    }
    std::size_t ReadCount() const {
        std::lock_guard lock(mu_);
        return reads_.size();
    }
    // True when some read asked for a byte of [begin, end).
    bool WasRead(std::uint64_t begin, std::uint64_t end) const {
        std::lock_guard lock(mu_);
        return std::any_of(reads_.begin(), reads_.end(), [&](const ReadCall& r) {
            return r.length > 0 && r.offset < end && begin - std::min(begin, r.offset) < r.length;
        });
    }

    std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buf) override {
        std::size_t allowed = buf.size();
        {
            std::lock_guard lock(mu_);
            if (failNext_ > 0) {
                --failNext_;
                allowed = 0;
            }
            // The request covers [offset, offset + buf.size()), clipped at 2^64.
            const std::uint64_t last =
                buf.empty() ? offset : offset + std::min<std::uint64_t>(buf.size() - 1, ~offset);
            for (const Fault& f : faults_) {
                if (buf.empty() || f.begin >= f.end || f.begin > last || f.end <= offset) continue;
                const std::uint64_t keep = f.keepsHead && f.begin > offset ? f.begin - offset : 0;
                allowed = std::min<std::uint64_t>(allowed, keep);
            }
        }
        std::size_t n = allowed > 0 ? base_->ReadAt(offset, buf.first(allowed)) : 0;
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(n), buf.end(), std::uint8_t{0});
        std::lock_guard lock(mu_);
        reads_.push_back({offset, buf.size(), n});
        return n;
    }
    std::uint64_t Size() const override { return base_->Size(); }
    const std::string& Name() const override { return name_; }
    std::uint32_t SectorSize() const override { return base_->SectorSize(); }

private:
    struct Fault {
        std::uint64_t begin, end;
        bool keepsHead;
    };
    std::shared_ptr<RawVolume> base_;
    std::string name_;
    mutable std::mutex mu_;
    std::vector<Fault> faults_;
    int failNext_ = 0;
    std::vector<ReadCall> reads_;
};

}  // namespace qm::testing
