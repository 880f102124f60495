// Partition tables of whole-disk images: MBR (with the chain of extended boot
// records) and GPT.
//
// What we accept, and why:
// - The first sector must end in 0x55AA and every primary entry's boot flag must
//   be 0x00 or 0x80. That keeps boot code (an NTFS or FAT boot sector also ends
//   in 0x55AA) from being read as a table.
// - A protective entry (type 0xEE) sends us to the GPT. Its header is looked for
//   at LBA 1 with 512-byte sectors, then with 4096-byte sectors; when neither
//   primary header is usable, the backup header in the disk's last sector.
// - GPT checksums are checked but not required. Of the sane headers found
//   (signature, sizes, its own LBA, an entry array inside the disk), the first
//   whose header and entry-array CRCs both match wins, then the first whose
//   header CRC matches, then the first at all (primary before backup). So a
//   table with a wrong CRC is still read when nothing better is there.
//   A damaged table is exactly what a recovery tool meets, and each entry is
//   checked against the disk on its own anyway.
// - MBR LBAs count 512-byte sectors.
// - An entry of zero size, one that starts at LBA 0, or one that starts at or past
//   the end of the disk is dropped. One that starts inside the disk but runs past
//   its end (a truncated image) is cut at the end of the disk: what is there can
//   still be read. When the disk cannot tell its size, entries are kept as given.
// - Logical partitions follow the primary ones, in chain order. Each EBR's data
//   entry counts from the EBR itself, its link from the start of the extended
//   partition. The chain stops at a sector without 0x55AA, at an EBR seen before
//   (a loop), or after kMaxLogical EBRs.
#include <algorithm>
#include <array>
#include <set>

#include "base/ByteView.h"
#include "base/Crc32.h"
#include "ntfs/Sources.h"
#include "platform/AlignedBuffer.h"

namespace qm {
namespace {

constexpr std::uint64_t kMbrSector = 512;
constexpr std::size_t kMbrEntries = 446;
constexpr std::size_t kMbrEntrySize = 16;
constexpr std::size_t kMaxLogical = 1024;
constexpr std::uint8_t kTypeGptProtective = 0xEE;

constexpr std::uint64_t kGptHeaderMin = 92;
constexpr std::uint32_t kGptEntryMin = 128;
constexpr std::uint32_t kGptEntryMax = 4096;
constexpr std::uint64_t kGptArrayMax = 4u << 20;  // bytes; the usual array is 16 KiB

bool IsExtended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

std::vector<std::uint8_t> ReadBytes(RawVolume& disk, std::uint64_t offset, std::size_t length) {
    AlignedBuffer read(length);
    if (disk.ReadAt(offset, read.span()) != length) return {};
    return std::vector<std::uint8_t>(read.data(), read.data() + length);
}

class TableReader {
public:
    explicit TableReader(RawVolume& disk) : disk_(disk), diskSize_(disk.Size()) {}

    // Adds [lba * sectorSize, (lba + count) * sectorSize) when it describes a
    // partition inside the disk.
    void Add(std::uint64_t lba, std::uint64_t count, std::uint64_t sectorSize) {
        if (lba == 0 || count == 0) return;
        auto offset = CheckedMul(lba, sectorSize);
        auto size = CheckedMul(count, sectorSize);
        if (!offset || !size) return;
        if (diskSize_ != 0) {
            if (*offset >= diskSize_) return;
            if (*size > diskSize_ - *offset) *size = diskSize_ - *offset;
        } else if (!CheckedAdd(*offset, *size)) {
            return;
        }
        out_.push_back({*offset, *size});
    }

    std::vector<PartitionEntry> Read() {
        auto mbr = ReadBytes(disk_, 0, kMbrSector);
        ByteView v(mbr);
        if (v.U16(510) != 0xAA55) return {};

        struct Entry {
            std::uint8_t type;
            std::uint64_t lba, count;
        };
        std::array<Entry, 4> entries{};
        bool protective = false;
        for (std::size_t i = 0; i < 4; ++i) {
            std::size_t at = kMbrEntries + i * kMbrEntrySize;
            std::uint8_t boot = *v.U8(at);
            if (boot != 0x00 && boot != 0x80) return {};
            entries[i] = {*v.U8(at + 4), *v.U32(at + 8), *v.U32(at + 12)};
            if (entries[i].type == kTypeGptProtective) protective = true;
        }

        if (protective && ReadGpt()) return std::move(out_);
        out_.clear();

        // Primary partitions, then the logical ones of each extended partition.
        for (const Entry& e : entries)
            if (e.type != 0 && e.type != kTypeGptProtective && !IsExtended(e.type))
                Add(e.lba, e.count, kMbrSector);
        std::set<std::uint64_t> visited;
        for (const Entry& e : entries)
            if (IsExtended(e.type) && e.lba != 0) ReadExtended(e.lba, visited);
        return std::move(out_);
    }

private:
    void ReadExtended(std::uint64_t extStart, std::set<std::uint64_t>& visited) {
        std::uint64_t ebr = extStart;
        for (std::size_t n = 0; n < kMaxLogical; ++n) {
            if (!visited.insert(ebr).second) return;  // a loop
            auto offset = CheckedMul(ebr, kMbrSector);
            if (!offset) return;
            auto sector = ReadBytes(disk_, *offset, kMbrSector);
            ByteView v(sector);
            if (v.U16(510) != 0xAA55) return;

            std::optional<std::uint64_t> next;
            for (std::size_t i = 0; i < 4; ++i) {
                std::size_t at = kMbrEntries + i * kMbrEntrySize;
                std::uint8_t type = *v.U8(at + 4);
                std::uint64_t lba = *v.U32(at + 8), count = *v.U32(at + 12);
                if (type == 0) continue;
                if (IsExtended(type)) {
                    if (!next && lba != 0) next = CheckedAdd(extStart, lba);
                    continue;
                }
                if (lba == 0) continue;  // would be the EBR itself
                if (auto start = CheckedAdd(ebr, lba)) Add(*start, count, kMbrSector);
            }
            if (!next) return;
            ebr = *next;
        }
    }

    struct GptHeader {
        std::uint64_t entriesLba = 0;
        std::uint32_t count = 0, entrySize = 0, entriesCrc = 0;
        bool headerCrcOk = false;
        bool arrayCrcOk = false;
    };

    // The header at `lba`, when it is sane: signature, header size, its own LBA,
    // and an entry array of bounded size inside the disk.
    std::optional<GptHeader> ReadGptHeader(std::uint64_t lba, std::uint64_t sectorSize) {
        auto offset = CheckedMul(lba, sectorSize);
        if (!offset) return std::nullopt;
        auto sector = ReadBytes(disk_, *offset, static_cast<std::size_t>(sectorSize));
        ByteView v(sector);
        static constexpr std::uint8_t kSig[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
        auto sig = v.Sub(0, 8);
        if (!sig || !std::equal(sig->data(), sig->data() + 8, kSig)) return std::nullopt;

        auto headerSize = v.U32(12);
        if (!headerSize || *headerSize < kGptHeaderMin || *headerSize > sectorSize)
            return std::nullopt;
        if (v.U64(24) != lba) return std::nullopt;

        GptHeader h;
        h.entriesLba = *v.U64(72);
        h.count = *v.U32(80);
        h.entrySize = *v.U32(84);
        h.entriesCrc = *v.U32(88);
        if (h.entrySize < kGptEntryMin || h.entrySize > kGptEntryMax || h.entrySize % 8 != 0)
            return std::nullopt;
        auto arrayBytes = CheckedMul(h.count, h.entrySize);
        if (!arrayBytes || *arrayBytes > kGptArrayMax) return std::nullopt;
        auto arrayStart = CheckedMul(h.entriesLba, sectorSize);
        if (h.entriesLba < 2 || !arrayStart) return std::nullopt;
        auto arrayEnd = CheckedAdd(*arrayStart, *arrayBytes);
        if (!arrayEnd || (diskSize_ != 0 && *arrayEnd > diskSize_)) return std::nullopt;

        std::vector<std::uint8_t> copy(sector.begin(), sector.begin() + *headerSize);
        std::fill(copy.begin() + 16, copy.begin() + 20, std::uint8_t{0});
        h.headerCrcOk = Crc32(0, ByteView(copy)) == *v.U32(16);
        auto array = ReadBytes(disk_, *arrayStart, static_cast<std::size_t>(*arrayBytes));
        h.arrayCrcOk = array.size() == *arrayBytes && Crc32(0, ByteView(array)) == h.entriesCrc;
        return h;
    }

    void AddGptEntries(const GptHeader& h, std::uint64_t sectorSize) {
        std::uint64_t start = h.entriesLba * sectorSize;  // checked by ReadGptHeader
        auto array =
            ReadBytes(disk_, start, static_cast<std::size_t>(std::uint64_t{h.count} * h.entrySize));
        ByteView v(array);
        for (std::uint64_t i = 0; i < h.count; ++i) {
            auto entry = v.Sub(i * h.entrySize, h.entrySize);
            if (!entry) break;
            bool used = false;
            for (std::size_t k = 0; k < 16; ++k) used |= *entry->U8(k) != 0;
            if (!used) continue;
            std::uint64_t first = *entry->U64(32), last = *entry->U64(40);
            if (last < first) continue;
            if (auto count = CheckedAdd(last - first, 1)) Add(first, *count, sectorSize);
        }
    }

    bool ReadGpt() {
        struct Found {
            GptHeader header;
            std::uint64_t sectorSize;
        };
        std::vector<Found> found;
        for (std::uint64_t ss : {std::uint64_t{512}, std::uint64_t{4096}}) {
            if (auto h = ReadGptHeader(1, ss)) found.push_back({*h, ss});
        }
        if (diskSize_ != 0) {
            for (std::uint64_t ss : {std::uint64_t{512}, std::uint64_t{4096}}) {
                if (diskSize_ / ss < 3) continue;
                if (auto h = ReadGptHeader(diskSize_ / ss - 1, ss)) found.push_back({*h, ss});
            }
        }
        if (found.empty()) return false;
        auto score = [](const GptHeader& h) {
            return (h.headerCrcOk ? 2 : 0) + (h.arrayCrcOk ? 1 : 0);
        };
        const Found* pick = &found.front();
        for (const Found& f : found)
            if (score(f.header) > score(pick->header)) pick = &f;
        AddGptEntries(pick->header, pick->sectorSize);
        return true;
    }

    RawVolume& disk_;
    std::uint64_t diskSize_;
    std::vector<PartitionEntry> out_;
};

}  // namespace

std::vector<PartitionEntry> ReadPartitionTable(RawVolume& disk) {
    return TableReader(disk).Read();
}

}  // namespace qm
