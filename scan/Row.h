// One row of a listing: a deleted file, folder or stream, wherever it was
// found. The MFT walk makes most rows; other sources (old records found
// elsewhere on the volume, folder indexes, the change journal, carving,
// shadow copies) make rows of the same shape, so that filters, recovery,
// the report and the window take them alike.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ntfs/Extents.h"

namespace qm {

// Where a row was found.
enum class RowSource : std::uint8_t {
    Mft,         // a record of the volume's MFT
    LostRecord,  // a FILE record outside the MFT (an old MFT, a lost fragment)
    Index,       // an entry left in a folder's index
    Journal,     // a name the change journal remembers
    Carved,      // found by its own structure in the clusters
    Snapshot,    // a file a shadow copy holds
};

// "mft", "lost-record", "index", "journal", "carved", "snapshot N".
std::string RowSourceText(RowSource source, std::uint16_t snapshot);

// What a row knows beyond the fields of an MFT row. Shared between the
// copies of a row; made only for rows that have some of it.
struct RowDetail {
    // The content, when it is not found through a record at the row's
    // position: a carved file's clusters (a joined file has several extents).
    std::optional<DataExtents> content;
    // The folder the file was in, when the row knows it itself ("/A/B", "" for
    // the root): a Recycle Bin file's original folder, an old record's tree.
    std::optional<std::u16string> folder;
    // Said after the flags: "joined from 2 pieces", "partial: 4096 bytes check out".
    std::string note;
};

enum class RowKind : std::uint8_t {
    File,    // a deleted file: the window lists these
    Folder,  // a deleted folder (no size)
    Stream,  // a named $DATA stream of a deleted file
};

// What a row's content is like.
enum RowFlag : std::uint8_t {
    kRowCompressed = 1,
    kRowEncrypted = 2,
    kRowSparse = 4,
    kRowResident = 8,
};

// Share of a file's clusters still free, when the bitmap could not be read.
constexpr std::uint8_t kRecoverableUnknown = 255;

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
    std::uint64_t parent = 0;  // MFT reference of the folder the name lies in
    std::u16string stream;     // the stream's name (stream rows)
    // Per cent of its clusters not allocated again (100 for resident content),
    // or kRecoverableUnknown.
    std::uint8_t recoverable = kRecoverableUnknown;
    std::uint8_t flags = 0;  // RowFlag bits
    RowKind kind = RowKind::File;
    RowSource source = RowSource::Mft;
    std::uint16_t snapshot = 0;  // RowSource::Snapshot: the shadow copy's number
    // What other sources know of the row; none for a plain MFT row.
    std::shared_ptr<const RowDetail> detail;
};

}  // namespace qm
