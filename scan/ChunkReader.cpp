#include "scan/ChunkReader.h"

#include <algorithm>

namespace qm {

void ReadChunk(RawVolume& volume, const VolumeInfo& info, std::uint64_t first, std::uint64_t n,
               Chunk& c) {
    const std::uint64_t rs = info.geometry.RecordSize;
    const std::uint64_t base = first * rs;  // first < count <= mapped bytes / rs: no overflow
    c.first = first;
    c.count = n;
    c.bad.clear();
    c.pieces = info.map.Map(base, n * rs);
    std::uint64_t at = 0;
    for (const MftMap::Piece& p : c.pieces) {
        std::span<std::uint8_t> dst(c.data + at, static_cast<std::size_t>(p.length));
        if (p.mapped) {
            std::size_t got = volume.ReadAt(p.offset, dst);
            if (got < dst.size()) c.bad.push_back({at + got, at + p.length, true});
        } else {
            std::fill(dst.begin(), dst.end(), std::uint8_t{0});
            c.bad.push_back({at, at + p.length, false});
        }
        at += p.length;
    }
}

ChunkReader::ChunkReader(RawVolume& volume, const VolumeInfo& info, std::uint64_t first,
                         std::uint64_t end, std::uint64_t perChunk, bool readAhead)
    : volume_(volume), info_(info), end_(end), perChunk_(perChunk), nextFirst_(first) {
    const std::size_t bytes = static_cast<std::size_t>(perChunk * info.geometry.RecordSize);
    // Left uninitialised: every byte is read into or zero-filled before use.
    const int slots = readAhead && end > first + perChunk ? 2 : 1;
    for (int s = 0; s < slots; ++s) {
        buffers_[s].Reset(bytes);
        chunks_[s].data = buffers_[s].data();
    }
    if (slots == 2) thread_ = std::thread([this] { ReadAhead(); });
}

ChunkReader::~ChunkReader() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::uint64_t ChunkReader::ChunkSize(std::uint64_t first) const {
    return std::min(perChunk_, end_ - first);
}

// Fills the two slots in turn, each once the walk has handed it back.
void ChunkReader::ReadAhead() {
    std::uint64_t first = nextFirst_;
    for (int slot = 0; first < end_; slot ^= 1) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return quit_ || !ready_[slot]; });
            if (quit_) return;
        }
        ReadChunk(volume_, info_, first, ChunkSize(first), chunks_[slot]);
        first += ChunkSize(first);
        {
            std::lock_guard lock(mutex_);
            ready_[slot] = true;
        }
        changed_.notify_all();
    }
}

Chunk* ChunkReader::Next() {
    if (!thread_.joinable()) {
        if (nextFirst_ >= end_) return nullptr;
        ReadChunk(volume_, info_, nextFirst_, ChunkSize(nextFirst_), chunks_[0]);
        nextFirst_ += chunks_[0].count;
        return &chunks_[0];
    }
    const int slot = held_ < 0 ? 0 : held_ ^ 1;
    std::unique_lock lock(mutex_);
    if (held_ >= 0) {
        ready_[held_] = false;
        changed_.notify_all();
    }
    held_ = slot;
    if (nextFirst_ >= end_) return nullptr;
    changed_.wait(lock, [&] { return ready_[slot]; });
    nextFirst_ += chunks_[slot].count;
    return &chunks_[slot];
}

}  // namespace qm
