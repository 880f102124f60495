// A file's content in order, from its extents: clusters read from the volume,
// holes for sparse runs, LZNT1 units decompressed, and a map of the bytes that
// could not be read or decoded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "ntfs/Extents.h"
#include "platform/AlignedBuffer.h"
#include "recover/RecoverRecord.h"

namespace qm {

// Where the content goes, in order.
class ContentOut {
public:
    virtual ~ContentOut() = default;
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // `count` zero bytes: a hole, or bytes that could not be read.
    virtual bool Zeros(std::uint64_t count) = 0;
    // Whether volume bytes may reach this output without passing through the
    // stream (CopyFrom). An output that must see every byte (to hash it) says no.
    virtual bool TakesCopies() const { return false; }
    // Appends `count` bytes of `volume` from `volumeByte` by a copy inside the
    // system; returns the bytes appended, fewer where it could not copy more
    // (the stream reads and writes the rest, finding any bad spot there).
    virtual std::uint64_t CopyFrom(RawVolume& volume, std::uint64_t volumeByte,
                                   std::uint64_t count) {
        (void)volume, (void)volumeByte, (void)count;
        return 0;
    }
};

struct StreamSettings {
    std::uint32_t clusterSize = 0;
    // The unit a bad spot is narrowed down to (a device's sector, 512 at least).
    std::uint32_t sectorSize = 512;
    // Content bytes to produce (the data size, or less where it cannot be trusted).
    std::uint64_t length = 0;
    // Where the volume's bytes end (its size as the source reports it); 0: unknown.
    std::uint64_t volumeEnd = 0;
    // Where the volume says it ends (its boot sector), to tell a truncated image apart.
    std::uint64_t declaredEnd = 0;
    // Compressed content decompressed unit by unit; false: the clusters as stored.
    bool decompress = true;
    const std::atomic<bool>* cancel = nullptr;
    const std::atomic<bool>* abort = nullptr;
    // After a failed read: re-reads something read fine before and says
    // whether the source still answers. None: it is taken to answer.
    std::function<bool()> sourceAnswers;
};

enum class StreamEnd { Done, Cancelled, SourceFailed, OutputFailed };

// Largest compression unit followed (NTFS uses 16 clusters of at most 4 KiB).
constexpr std::uint64_t kMaxCompressionUnit = 4u << 20;

class ContentStream {
public:
    ContentStream(RawVolume& volume, const DataExtents& extents, StreamSettings settings);

    StreamEnd Run(ContentOut& out);

    // The ranges of the content written as zeros because they could not be read
    // or decoded, in order and merged; and the first reason.
    const std::vector<ByteRange>& Damage() const { return damage_; }
    const std::string& DamageReason() const { return reason_; }

private:
    StreamEnd Plain(std::uint64_t from, std::uint64_t to);
    StreamEnd Unit(std::uint64_t index);
    StreamEnd Compressed(std::uint64_t from, std::uint64_t to, std::uint64_t vcn,
                         std::uint64_t clusters);
    StreamEnd Clusters(std::uint64_t volumeByte, std::uint64_t from, std::uint64_t count);
    StreamEnd ReadOut(std::uint64_t volumeByte, std::uint64_t from, std::uint64_t count);
    std::uint64_t CopyOut(std::uint64_t volumeByte, std::uint64_t count);
    StreamEnd ReadCarefully(std::uint64_t volumeByte, std::span<std::uint8_t> buf,
                            std::vector<ByteRange>& bad);
    StreamEnd Settle(std::uint64_t volumeByte, std::span<std::uint8_t> buf, std::uint64_t at,
                     std::size_t n, std::vector<ByteRange>& bad);
    std::uint64_t LoseSector(std::uint64_t volumeByte, std::span<std::uint8_t> buf,
                             std::uint64_t at, std::vector<ByteRange>& bad);
    StreamEnd Lost(std::uint64_t from, std::uint64_t count, const std::string& why);
    StreamEnd BadSpotFound(std::uint64_t bytes);
    bool Stopped() const;

    RawVolume& volume_;
    const DataExtents& extents_;
    StreamSettings s_;
    ContentOut* out_ = nullptr;
    AlignedBuffer buffer_, packed_, unit_;
    std::vector<ByteRange> damage_;
    std::string reason_;
    std::uint64_t badSinceCheck_ = 0;
    bool checked_ = false;
};

}  // namespace qm
