// The deleted-file walk over a volume's MFT, without any user interface: the
// window's worker and the command line both drive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/uNTFS.h"
#include "scan/Folders.h"
#include "scan/Row.h"

namespace qm {

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
    // A deleted file (or folder or stream, when asked for). Rows come in
    // increasing record order; files whose name or data lie in extension
    // records follow once the walk has seen them all, in their order.
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
    // Whether a second thread reads the next chunk while this one is parsed. On
    // a device the read waits for the disk, and the wait overlaps the parsing.
    // Image files are left to the kernel's own read-ahead: out of a warm page
    // cache the second thread measured slower than one.
    enum class ReadAhead : std::uint8_t { Never, OnDevices, Always };
    ReadAhead readAhead = ReadAhead::OnDevices;
    // Deleted folders and named streams are rows too.
    bool foldersAndStreams = false;
};

struct ScanSummary {
    SetupResult setup;               // stop != None: the walk did not run
    bool stopped = false;            // a stop request ended the walk
    std::int64_t recordsWalked = 0;  // records 16.. examined
    std::int64_t unreadable = 0;     // records that could not be read from the volume
    std::int64_t rows = 0;
    // The folders met, resolved: the rows' paths (set when the walk ran).
    std::shared_ptr<const FolderTable> folders;
    bool bitmapRead = false;  // recoverability could be worked out
};

// The row's folder and whether it is an orphan; the root's folder without `folders`.
FolderPath RowFolder(const ScanSummary& summary, const ScanRow& row);
// The full path of the row: folder, "/", name, and ":stream" for a stream row.
std::u16string RowPath(const FolderPath& folder, const ScanRow& row);

// Runs the set-up on `volume`, then walks records 16 to the last, polling
// `stopRequested` once per record.
ScanSummary RunScan(RawVolume& volume, ScanObserver& observer,
                    const std::atomic<bool>& stopRequested, const ScanOptions& options = {});

// Examines one fixed-up record: a row when its flags are 0 and it carries
// $STANDARD_INFORMATION, $FILE_NAME (file-name rule on) and $DATA. Its
// recoverability is unknown (no bitmap).
std::optional<ScanRow> RowFromRecord(ByteView record);

}  // namespace qm
