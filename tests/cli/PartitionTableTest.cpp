// Partition tables built byte by byte: MBR with extended chains, GPT with 512-
// and 4096-byte sectors, damaged tables and entries outside the disk.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "ntfs/Sources.h"
#include "platform/RawVolume.h"

namespace qm {
void PrintTo(const PartitionEntry& p, std::ostream* os) {
    *os << "{" << p.offset << ", " << p.size << "}";
}
namespace {

// Bitwise CRC-32 (IEEE), written independently of the table-driven one under test.
std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

struct Disk {
    std::vector<std::uint8_t> b;
    explicit Disk(std::size_t size) : b(size) {}
    void Put(std::uint64_t off, std::uint64_t v, int width) {
        for (int i = 0; i < width; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
    }
    // A 0x55AA sector at `sector` (512-byte units) with entry `i` filled.
    void MbrEntry(std::uint64_t sector, int i, std::uint8_t type, std::uint32_t lba,
                  std::uint32_t count) {
        std::uint64_t at = sector * 512 + 446 + 16 * i;
        b.at(at + 4) = type;
        Put(at + 8, lba, 4);
        Put(at + 12, count, 4);
        Put(sector * 512 + 510, 0xAA55, 2);
    }
    struct Range {
        std::uint64_t first, last;
    };
    // A GPT header at `lba` (sector size `ss`) with its entry array at `arrayLba`.
    void Gpt(std::uint64_t ss, std::uint64_t lba, std::uint64_t arrayLba,
             std::vector<Range> parts) {
        const std::uint32_t count = 128;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            std::uint64_t e = arrayLba * ss + i * 128;
            b.at(e) = 0xA2;  // any non-zero type GUID
            Put(e + 32, parts[i].first, 8);
            Put(e + 40, parts[i].last, 8);
        }
        std::uint64_t h = lba * ss;
        std::memcpy(&b.at(h), "EFI PART", 8);
        Put(h + 8, 0x00010000, 4);
        Put(h + 12, 92, 4);
        Put(h + 16, 0, 4);
        Put(h + 24, lba, 8);
        Put(h + 72, arrayLba, 8);
        Put(h + 80, count, 4);
        Put(h + 84, 128, 4);
        Put(h + 88, Crc32(&b.at(arrayLba * ss), std::size_t{count} * 128), 4);
        Put(h + 16, Crc32(&b.at(h), 92), 4);
    }
    std::vector<PartitionEntry> Read() {
        MemoryVolume v(b);
        return ReadPartitionTable(v);
    }
};

MATCHER_P2(Part, offset, size, "") {
    return arg.offset == std::uint64_t(offset) && arg.size == std::uint64_t(size);
}
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(PartitionTable, TestCrcIsTheStandardOne) {
    EXPECT_EQ(Crc32(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(PartitionTable, MbrPrimariesThenLogicalsOfTheExtendedChain) {
    Disk d(4 << 20);  // 8192 sectors
    d.MbrEntry(0, 0, 0x07, 2048, 100);
    d.MbrEntry(0, 1, 0x0F, 4000, 4000);  // extended: 4000..7999
    d.MbrEntry(0, 2, 0x83, 3000, 10);
    // EBR chain: data entries count from each EBR, links from the extended start.
    d.MbrEntry(4000, 0, 0x07, 63, 200);
    d.MbrEntry(4000, 1, 0x05, 1000, 500);  // next EBR at 5000
    d.MbrEntry(5000, 0, 0x07, 1, 50);
    d.MbrEntry(5000, 1, 0x05, 2000, 500);  // next EBR at 6000
    d.MbrEntry(6000, 0, 0x86, 8, 8);
    EXPECT_THAT(d.Read(), ElementsAre(Part(2048 * 512, 100 * 512), Part(3000 * 512, 10 * 512),
                                      Part(4063 * 512, 200 * 512), Part(5001 * 512, 50 * 512),
                                      Part(6008 * 512, 8 * 512)));
}

TEST(PartitionTable, EbrChainsThatLoopOrLeaveTheDisk) {
    Disk self(4 << 20);
    self.MbrEntry(0, 0, 0x05, 4000, 4000);
    self.MbrEntry(4000, 0, 0x07, 10, 10);
    self.MbrEntry(4000, 1, 0x05, 1000, 10);
    self.MbrEntry(5000, 0, 0x07, 10, 10);
    self.MbrEntry(5000, 1, 0x05, 1000, 10);  // links to itself
    EXPECT_THAT(self.Read(), ElementsAre(Part(4010 * 512, 5120), Part(5010 * 512, 5120)));

    Disk cycle = self;
    cycle.MbrEntry(5000, 1, 0x05, 2000, 10);
    cycle.MbrEntry(6000, 0, 0x07, 10, 10);
    cycle.MbrEntry(6000, 1, 0x05, 1000, 10);  // back to the second EBR
    EXPECT_EQ(cycle.Read().size(), 3u);

    Disk away = self;
    away.MbrEntry(5000, 1, 0x05, 0xFFFFFFFF, 10);  // far past the end: no 0x55AA there
    EXPECT_THAT(away.Read(), ElementsAre(Part(4010 * 512, 5120), Part(5010 * 512, 5120)));
}

TEST(PartitionTable, EntriesOutsideTheDiskAreDroppedOrCut) {
    Disk d(1 << 20);                           // 2048 sectors
    d.MbrEntry(0, 0, 0x07, 0, 100);            // starts on the table itself
    d.MbrEntry(0, 1, 0x07, 100, 0);            // no size
    d.MbrEntry(0, 2, 0x07, 2048, 10);          // starts at the end
    d.MbrEntry(0, 3, 0x07, 2000, 0xFFFFFFFF);  // runs past the end: cut
    EXPECT_THAT(d.Read(), ElementsAre(Part(2000 * 512, 48 * 512)));
}

TEST(PartitionTable, SectorsThatAreNoTable) {
    EXPECT_THAT(Disk(1 << 20).Read(), IsEmpty());  // no signature
    EXPECT_THAT(Disk(300).Read(), IsEmpty());      // shorter than a sector
    Disk boot(1 << 20);                            // boot code where the entries would be
    boot.MbrEntry(0, 0, 0x07, 63, 100);
    boot.b[446 + 16] = 0x4C;
    EXPECT_THAT(boot.Read(), IsEmpty());
}

TEST(PartitionTable, GptWith512And4096ByteSectors) {
    for (std::uint64_t ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        Disk d(ss * 4096);
        d.MbrEntry(0, 0, 0xEE, 1, 0xFFFFFFFF);
        d.Gpt(ss, 1, 2, {{34, 99}, {0, 0}, {200, 199}, {300, 5000}, {4000, 4095}});
        // {0,0} starts at LBA 0, {200,199} ends before it starts, {300,5000} is cut.
        EXPECT_THAT(d.Read(), ElementsAre(Part(34 * ss, 66 * ss), Part(300 * ss, 3796 * ss),
                                          Part(4000 * ss, 96 * ss)));
    }
}

TEST(PartitionTable, GptChecksumsChooseBetweenPrimaryAndBackup) {
    const std::uint64_t ss = 512, last = 4095;
    Disk d(ss * 4096);
    d.MbrEntry(0, 0, 0xEE, 1, 0xFFFFFFFF);
    d.Gpt(ss, last, last - 32, {{100, 199}});
    d.Gpt(ss, 1, 2, {{34, 99}});
    // A primary that only its CRC condemns still counts when the backup is gone...
    Disk noBackup = d;
    std::memset(&noBackup.b[last * ss], 0, 8);
    noBackup.b[2 * ss + 1] ^= 1;   // entry array CRC now wrong
    noBackup.b[1 * ss + 16] ^= 1;  // header CRC now wrong
    EXPECT_THAT(noBackup.Read(), ElementsAre(Part(34 * ss, 66 * ss)));
    // ...but a backup whose CRCs match wins over it.
    Disk badPrimary = d;
    badPrimary.b[1 * ss + 16] ^= 1;
    EXPECT_THAT(badPrimary.Read(), ElementsAre(Part(100 * ss, 100 * ss)));
    Disk noPrimary = d;
    std::memset(&noPrimary.b[1 * ss], 0, 8);
    EXPECT_THAT(noPrimary.Read(), ElementsAre(Part(100 * ss, 100 * ss)));
    EXPECT_THAT(d.Read(), ElementsAre(Part(34 * ss, 66 * ss)));
}

TEST(PartitionTable, InsaneGptHeadersFallBackToTheMbr) {
    Disk d(1 << 20);
    d.MbrEntry(0, 0, 0xEE, 1, 100);
    d.MbrEntry(0, 1, 0x07, 200, 100);  // a hybrid MBR's own entry
    d.Gpt(512, 1, 2, {{34, 99}});
    d.Put(512 + 80, 0x40000000, 4);  // count x size far above any real array
    EXPECT_THAT(d.Read(), ElementsAre(Part(200 * 512, 100 * 512)));
    d.Gpt(512, 1, 2, {{34, 99}});
    d.Put(512 + 72, 0xFFFFFFFFFFFFFFF0ull, 8);  // entry array LBA overflows
    d.Put(512 + 16, 0, 4);
    EXPECT_THAT(d.Read(), ElementsAre(Part(200 * 512, 100 * 512)));
}

}  // namespace
}  // namespace qm
