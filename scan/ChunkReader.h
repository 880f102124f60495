// Reads the MFT for the walk in chunks of whole records along its runs. With
// read-ahead, a thread of its own reads the next chunk while the walk parses
// this one, so the copy out of the page cache (or the wait for the disk)
// overlaps the parsing on a second core.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ntfs/uNTFS.h"
#include "platform/AlignedBuffer.h"

namespace qm {

// A stretch of a chunk whose bytes are not trustworthy.
struct BadRange {
    std::uint64_t begin, end;
    bool mapped;  // mapped but read short: worth a second, record-sized read
};

// Records [first, first + count) as read, with what did not arrive.
struct Chunk {
    std::uint64_t first = 0, count = 0;
    std::uint8_t* data = nullptr;       // count records; the walk fixes them up in place
    std::vector<MftMap::Piece> pieces;  // the volume's byte ranges, in order
    std::vector<BadRange> bad;
};

// Reads records [first, first + n) along the MFT's runs into `c`, noting in
// c.bad what did not arrive (unmapped stretches are zeros).
void ReadChunk(RawVolume& volume, const VolumeInfo& info, std::uint64_t first, std::uint64_t n,
               Chunk& c);

class ChunkReader {
public:
    // Walks records [first, end) `perChunk` at a time. `volume` must take reads
    // from two threads when `readAhead` is set (see SerialisedVolume).
    ChunkReader(RawVolume& volume, const VolumeInfo& info, std::uint64_t first, std::uint64_t end,
                std::uint64_t perChunk, bool readAhead);
    ~ChunkReader();
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    // The next chunk, or nullptr after the last. The chunk before it is handed
    // back to the reader, so a caller holds one chunk at a time.
    Chunk* Next();

private:
    void ReadAhead();
    std::uint64_t ChunkSize(std::uint64_t first) const;

    RawVolume& volume_;
    const VolumeInfo& info_;
    const std::uint64_t end_, perChunk_;
    AlignedBuffer buffers_[2];
    Chunk chunks_[2];
    std::uint64_t nextFirst_;  // the next chunk Next() hands out
    int held_ = -1;            // the slot the caller holds

    // Read-ahead: the reader fills a slot once the caller has handed it back.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_[2] = {false, false};  // guarded by mutex_
    bool quit_ = false;               // guarded by mutex_
    std::thread thread_;
};

}  // namespace qm
