// The deleted-file walk over a volume's MFT, without any user interface: the
// window's worker and the command line both drive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/uNTFS.h"

namespace qm {

// One deleted file, as the walk finds it.
struct ScanRow {
    std::uint64_t position = 0;  // byte offset of the record on the volume
    std::uint64_t record = 0;    // MFT record number
    std::u16string name;         // the $FILE_NAME name, as stored
    std::uint64_t size = 0;      // resident value length or non-resident data size
    std::uint64_t created = 0;   // FILETIME from $STANDARD_INFORMATION
    std::uint64_t modified = 0;  // FILETIME from $STANDARD_INFORMATION
    // The other FILETIMEs, for timelines: $STANDARD_INFORMATION's last access
    // and MFT change, and the four times of the $FILE_NAME the name comes from.
    std::uint64_t accessed = 0;
    std::uint64_t mftChanged = 0;
    std::uint64_t fnCreated = 0;
    std::uint64_t fnModified = 0;
    std::uint64_t fnMftChanged = 0;
    std::uint64_t fnAccessed = 0;
};

// The row caption: "0x" + position in upper-case hex, 2 digits at least.
std::string PositionText(std::uint64_t position);

// The extension of an 8-bit name: from its last "." that has no "/", "\" or
// ":" after it, point included; empty without one. Double-byte characters are
// stepped over whole when `dbcsLeadByte` says a byte starts one.
std::string ExtensionOf(const std::string& name8, bool (*dbcsLeadByte)(unsigned char) = nullptr);

// Receives the scan's progress in the order of events. Called on the scanning thread.
class ScanObserver : public SetupObserver {
public:
    // The set-up is ready: the walk over `recordCount` records starts (records 0..15 are not
    // examined).
    virtual void OnWalkStart(std::int64_t /*recordCount*/) {}
    // A deleted file. Rows come in increasing record order.
    virtual void OnRow(ScanRow&& row) = 0;
    // `done` records of the walk have been passed (reported in steps, and once at the end).
    virtual void OnProgress(std::int64_t /*done*/) {}
};

struct ScanOptions {
    // Bytes read at once along the MFT's runs; 0 reads one record at a time. 1 MiB
    // measured best: larger chunks fall out of the CPU caches before they are parsed.
    std::uint32_t chunkBytes = 1u << 20;
    // Progress is reported every this many records.
    std::uint32_t progressEvery = 1024;
};

struct ScanSummary {
    SetupResult setup;               // stop != None: the walk did not run
    bool stopped = false;            // a stop request ended the walk
    std::int64_t recordsWalked = 0;  // records 16.. examined
    std::int64_t unreadable = 0;     // records that could not be read from the volume
    std::int64_t rows = 0;
};

// Runs the set-up on `volume`, then walks records 16 to the last, polling
// `stopRequested` once per record.
ScanSummary RunScan(RawVolume& volume, ScanObserver& observer,
                    const std::atomic<bool>& stopRequested, const ScanOptions& options = {});

// Examines one fixed-up record: a row when its flags are 0 and it carries
// $STANDARD_INFORMATION, $FILE_NAME (file-name rule on) and $DATA.
std::optional<ScanRow> RowFromRecord(ByteView record);

}  // namespace qm
