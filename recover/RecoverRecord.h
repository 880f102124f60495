// Rebuilding one deleted file's content from its MFT record and writing it out.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/uNTFS.h"
#include "platform/Platform.h"
#include "recover/OutputName.h"

namespace qm {

struct DataExtents;

enum class RecoverStatus {
    Written,       // every byte of the content is the volume's
    Damaged,       // written, but some bytes could not be read or decoded (see `unreadable`)
    BadPosition,   // the position text is not "0x" + hex digits
    OpenFailed,    // the volume could not be opened
    BadRecord,     // the record fails its signature or fixups
    InUse,         // the record is in use again, or is a directory
    NoData,        // the record has no $DATA attribute
    Malformed,     // the $DATA attribute or its run list cannot be followed
    Encrypted,     // EFS-encrypted content, which cannot be decrypted
    SourceFailed,  // the volume stopped answering (a device that went away)
    OutputFailed,  // the output file could not be created or written
    Cancelled,
};
const char* RecoverStatusText(RecoverStatus s);

// A byte range of a file's content, from the start of the content.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// Fingerprints of a file's content as it was written: holes and unreadable
// bytes count as the zeros they are written as.
struct ContentDigests {
    std::array<std::uint8_t, 16> md5{};
    std::array<std::uint8_t, 32> sha256{};
    bool operator==(const ContentDigests&) const = default;
};

// One file's fate. Written and Damaged files exist at the output path; for
// every other status nothing was left there.
struct RecoverResult {
    RecoverStatus status = RecoverStatus::Written;
    std::uint64_t bytes = 0;  // bytes written (Written and Damaged)
    std::string detail;       // a short reason, for the command line
    // Damaged: the ranges of the content that could not be read (written as
    // zeros), in order, merged, not overlapping.
    std::vector<ByteRange> unreadable;
    // OutputFailed: the system's error code (errno, or GetLastError on
    // Windows) when the system gave one; 0 otherwise.
    int systemError = 0;
    // Written and Damaged: what went wrong without keeping the file from being
    // written (its original times could not be set); empty when nothing did.
    std::string note{};
    // Written and Damaged, when asked for (RecoverOptions::digests).
    std::optional<ContentDigests> digests;
};

// Told of content bytes as they are written, chunk by chunk (a hole at once),
// on the thread that writes them. Advance must be cheap.
class ContentProgress {
public:
    virtual ~ContentProgress() = default;
    virtual void Advance(std::uint64_t bytes) = 0;
};

// "0x" + hex digits: drops the first two characters and reads the rest as a
// 64-bit hexadecimal number. nullopt when it is not one.
std::optional<std::uint64_t> ParsePosition(std::string_view position);

// Reads the record at `position` of `volume` again, checks that it is still a
// deleted file and writes its first $DATA content to `outputPath`. The file
// appears whole or not at all; given up on, an existing file there is left
// untouched. Content is streamed in bounded chunks.
//
// With `mft`, the map of the volume's MFT, a record that lies in two MFT
// fragments is read from both; without it the record is read in one piece at
// `position`.
RecoverResult RecoverRecord(RawVolume& volume, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath,
                            OutputFactory& output = DefaultOutputFactory(),
                            const std::atomic<bool>* cancel = nullptr, const MftMap* mft = nullptr);

struct RecoverOptions {
    const std::atomic<bool>* cancel = nullptr;
    // A second stop, set by a batch once the source has stopped answering.
    const std::atomic<bool>* abort = nullptr;
    const MftMap* mft = nullptr;  // see above
    // EFS-encrypted content written as stored (the ciphertext) instead of given up.
    bool raw = false;
    // The named $DATA stream to recover ("secret" of "file:secret"); empty:
    // the file's unnamed content.
    std::u16string stream;
    // MD5 and SHA-256 of the content, computed as it is written (no second
    // read), in RecoverResult::digests. Off, plain recovery hashes nothing.
    bool digests = false;
    ContentProgress* progress = nullptr;
    // The file gets the modification and access times of its
    // $STANDARD_INFORMATION (on Windows its creation time too).
    bool times = false;
};

// The same with every option. What could not be read (bad sectors, clusters
// past the end of the volume or of a truncated image, extents no record
// holds, compressed units that fail to decode) is written as zeros and makes
// the file Damaged with those ranges. A data size larger than the volume
// that the runs (holes included) do not map to its end is damage too: the
// file is written up to where its runs end and the rest of the data size is
// listed as unreadable without being written. A read that fails while the file's own record can no
// longer be read either means the source went away: SourceFailed, nothing written.
RecoverResult RecoverRecord(RawVolume& volume, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath,
                            OutputFactory& output, const RecoverOptions& options);

// Writes content known by its extents rather than through a record (a
// carved file's clusters, joined from several pieces): the same stream, the
// same damage and the same sink as a record's $DATA. No times are set.
RecoverResult RecoverExtents(RawVolume& volume, const DataExtents& extents,
                             const VolumeGeometry& geometry, const std::string& outputPath,
                             OutputFactory& output, const RecoverOptions& options);

// The same, opening `source` (a drive, device or image) for this one file and
// reading its MFT's layout to find the record.
RecoverResult RecoverRecord(const std::string& source, std::string_view position,
                            const VolumeGeometry& geometry, const std::string& outputPath);

}  // namespace qm
