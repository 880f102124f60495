// The copies NTFS keeps: the backup boot sector in the volume's last sector,
// and $MFTMirr's copy of MFT record 0. A damaged or unreadable original gives
// way to its copy, the set-up says which copy it used, and where every copy
// fails a read error is told as a read error.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "ntfs/Sources.h"
#include "platform/testing/FaultyVolume.h"
#include "tests/malformed/Corpus.h"

namespace qm::malformed {
namespace {

using qm::testing::FaultyVolume;
using ::testing::HasSubstr;

constexpr std::size_t kBootMirrorCluster = 56;
constexpr std::uint64_t kMirrorCluster =
    2;  // free in the corpus: between the boot sector and the MFT

void PutLe(Bytes& b, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool AllZero(const Bytes& b, std::size_t at, std::size_t n) {
    return std::all_of(b.begin() + at, b.begin() + at + n, [](std::uint8_t x) { return x == 0; });
}

// The corpus image with its backup boot sector in the last sector and, with
// `mirror`, $MFTMirr's copy of record 0 at cluster 2.
Bytes WithCopies(Corpus& c, bool backup, bool mirror) {
    Bytes image = c.volume().Build();
    const std::size_t last = image.size() - 512;
    EXPECT_TRUE(AllZero(image, last, 512));
    if (backup) std::copy(image.begin(), image.begin() + 512, image.begin() + last);
    if (mirror) {
        const std::size_t cs = c.volume().ClusterSize(), rs = c.volume().RecordSize();
        const std::size_t r0 = c.volume().RecordOffset(0);
        EXPECT_TRUE(AllZero(image, kMirrorCluster * cs, rs));
        std::copy(image.begin() + r0, image.begin() + r0 + rs, image.begin() + kMirrorCluster * cs);
        PutLe(image, kBootMirrorCluster, kMirrorCluster, 8);
        if (backup) PutLe(image, last + kBootMirrorCluster, kMirrorCluster, 8);
    }
    return image;
}

Corpus::Wrap Failing(std::uint64_t begin, std::uint64_t end) {
    return [=](std::shared_ptr<RawVolume> base) {
        auto v = std::make_shared<FaultyVolume>(std::move(base));
        v->FailRange(begin, end);
        return std::shared_ptr<RawVolume>(v);
    };
}

std::string Notes(const SetupResult& s) {
    std::string all;
    for (const std::string& n : s.notes) all += n + "\n";
    return all;
}

TEST(BackupBootSector, StandsInForADamagedOrUnreadableFirstSector) {
    Corpus c;
    const Bytes good = WithCopies(c, true, false);
    const std::uint64_t backupAt = good.size() - 512;
    Bytes zeroed = good, noOem = good, badGeometry = good;
    std::fill(zeroed.begin(), zeroed.begin() + 512, 0);
    noOem[3] = 'X';
    badGeometry[13] = 0;  // no sectors per cluster
    struct Case {
        const char* what;
        Bytes image;
        Corpus::Wrap wrap;
        const char* why;
    } cases[] = {
        {"zeroed", zeroed, nullptr, "has no \"NTFS\" signature"},
        {"no signature", noOem, nullptr, "has no \"NTFS\" signature"},
        {"bad geometry", badGeometry, nullptr, "is damaged"},
        {"unreadable", good, Failing(100, 101), "cannot be read (read error at byte 0)"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Outcome o = c.Run(k.image, k.wrap);
        ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
        EXPECT_EQ(o.scan.setup.boot, BootCopy::Backup);
        EXPECT_EQ(o.scan.setup.layout, LayoutSource::Record0);
        EXPECT_THAT(Notes(o.scan.setup), HasSubstr(k.why));
        EXPECT_THAT(Notes(o.scan.setup),
                    HasSubstr("using the backup boot sector at byte " + std::to_string(backupAt)));
        EXPECT_TRUE(c.GoodFilesIntact(o));
    }
    // A good first sector is used as it is, whatever the last one holds.
    const Outcome plain = c.Run(good);
    EXPECT_EQ(plain.scan.setup.boot, BootCopy::Primary);
    EXPECT_TRUE(plain.scan.setup.notes.empty());
}

TEST(BackupBootSector, WithoutOneTheStopsAreAsBefore) {
    Corpus c;
    Bytes image = WithCopies(c, false, false);
    // Unreadable: a read error, not a missing signature.
    Outcome o = c.Run(image, Failing(0, 512));
    EXPECT_EQ(o.scan.setup.stop, SetupStop::Unreadable);
    EXPECT_THAT(o.scan.setup.reason, HasSubstr("cannot be read"));
    std::fill(image.begin(), image.begin() + 512, 0);
    o = c.Run(image);
    EXPECT_EQ(o.scan.setup.stop, SetupStop::NotNtfs);
    EXPECT_TRUE(o.rows.empty() && o.files.empty() && o.imageUnchanged);
    // A backup that is itself damaged is not used.
    image = WithCopies(c, true, false);
    std::fill(image.begin(), image.begin() + 512, 0);
    image[image.size() - 512 + 3] = 'X';
    EXPECT_EQ(c.Run(image).scan.setup.stop, SetupStop::NotNtfs);
}

TEST(BackupBootSector, InsideADiskImageIsFoundThroughThePartitionEntry) {
    // A partition at 1 MiB, followed by 1 MiB the partition does not hold: the
    // end of the disk is not the end of the volume, the partition entry is.
    Corpus c;
    const Bytes volume = WithCopies(c, true, false);
    constexpr std::size_t kStart = 1 << 20;
    Bytes disk(kStart + volume.size() + (1 << 20), 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + kStart);
    std::fill(disk.begin() + kStart, disk.begin() + kStart + 512, 0);  // the primary is gone
    const auto asPartition = [](std::shared_ptr<RawVolume> base) {
        return std::shared_ptr<RawVolume>(
            MakeSubVolume(std::move(base), kStart, 0, "disk@1048576"));
    };
    EXPECT_EQ(c.Run(disk, asPartition).scan.setup.stop, SetupStop::NotNtfs);

    PutLe(disk, 446 + 4, 0x07, 1);
    PutLe(disk, 446 + 8, kStart / 512, 4);
    PutLe(disk, 446 + 12, volume.size() / 512, 4);
    PutLe(disk, 510, 0xAA55, 2);
    const Outcome o = c.Run(disk, asPartition);
    ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
    EXPECT_EQ(o.scan.setup.boot, BootCopy::Backup);
    EXPECT_TRUE(c.GoodFilesIntact(o));
}

// A disk holding `volume` as its one partition at `start` (MBR, type 0x07), with
// `after` bytes the partition does not hold.
Bytes DiskWith(const Bytes& volume, std::size_t start, std::size_t after) {
    Bytes disk(start + volume.size() + after, 0);
    std::copy(volume.begin(), volume.end(), disk.begin() + static_cast<std::ptrdiff_t>(start));
    PutLe(disk, 446 + 4, 0x07, 1);
    PutLe(disk, 446 + 8, start / 512, 4);
    PutLe(disk, 446 + 12, volume.size() / 512, 4);
    PutLe(disk, 510, 0xAA55, 2);
    return disk;
}

// What a list of sources shows for `image` written to a file: each source's
// name after the file's, and its partition number.
std::vector<std::pair<std::string, unsigned>> Listed(const Bytes& image) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("qm-backup-sources-" + std::to_string(::getpid()) + ".img"))
                                 .string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    std::vector<std::pair<std::string, unsigned>> listed;
    for (const SourceInfo& s : ExpandImage(path))
        listed.emplace_back(s.source.substr(path.size()), s.partition);
    std::filesystem::remove(path);
    return listed;
}

TEST(BackupBootSector, AVolumeReadableOnlyThroughItIsStillASource) {
    Corpus c;
    const Bytes good = WithCopies(c, true, false);
    Bytes wiped = good, noBackup = WithCopies(c, false, false);
    std::fill(wiped.begin(), wiped.begin() + 512, 0);
    std::fill(noBackup.begin(), noBackup.begin() + 512, 0);
    constexpr std::size_t kStart = 1 << 20;
    using Listing = std::vector<std::pair<std::string, unsigned>>;
    struct Case {
        const char* what;
        Bytes image;
        Listing listed;
    } cases[] = {
        {"a volume image, its first sector wiped", wiped, {{"", 0}}},
        {"the same without a backup", noBackup, {}},
        {"a disk, its partition's first sector wiped",
         DiskWith(wiped, kStart, 1 << 20),
         {{"@1048576", 1}}},
        // The partition's backup is the disk's last sector: the disk is no volume.
        {"a disk whose partition ends where it does",
         DiskWith(wiped, kStart, 0),
         {{"@1048576", 1}}},
        {"a disk, its partition without a backup", DiskWith(noBackup, kStart, 1 << 20), {}},
        {"a disk, its partition whole", DiskWith(good, kStart, 0), {{"@1048576", 1}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        EXPECT_EQ(Listed(k.image), k.listed);
    }
}

TEST(MftMirror, StandsInForADamagedOrUnreadableRecordZero) {
    Corpus c;
    const Bytes good = WithCopies(c, false, true);
    const std::uint64_t r0 = c.volume().RecordOffset(0);
    const std::uint64_t mirrorAt = kMirrorCluster * c.volume().ClusterSize();
    Bytes junk = good;
    std::fill(junk.begin() + r0, junk.begin() + r0 + 4, 'X');  // no "FILE"
    Bytes torn = good;
    torn[r0 + 510] ^= 0xFF;  // the first sector's update sequence
    struct Case {
        const char* what;
        Bytes image;
        Corpus::Wrap wrap;
        const char* why;
    } cases[] = {
        {"bad signature", junk, nullptr, "fails its signature or update sequence"},
        {"torn sector", torn, nullptr, "fails its signature or update sequence"},
        {"unreadable", good, Failing(r0 + 600, r0 + 601), "cannot be read (read error at byte"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const Outcome o = c.Run(k.image, k.wrap);
        ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
        EXPECT_EQ(o.scan.setup.layout, LayoutSource::Mirror);
        EXPECT_THAT(Notes(o.scan.setup), HasSubstr(k.why));
        EXPECT_THAT(Notes(o.scan.setup),
                    HasSubstr("using $MFTMirr's copy at byte " + std::to_string(mirrorAt)));
        EXPECT_EQ(o.scan.setup.info->MftRecordCount, 64);
        EXPECT_TRUE(c.GoodFilesIntact(o));
    }
}

TEST(MftMirror, WhereNeitherCopyServesTheMftIsReadAsOneRun) {
    Corpus c;
    Bytes image = WithCopies(c, false, true);
    const std::uint64_t r0 = c.volume().RecordOffset(0);
    const std::uint64_t mirrorAt = kMirrorCluster * c.volume().ClusterSize();
    std::fill(image.begin() + r0, image.begin() + r0 + 4, 'X');
    std::fill(image.begin() + mirrorAt, image.begin() + mirrorAt + 4, 'X');
    const Outcome o = c.Run(image);
    ASSERT_TRUE(o.scan.setup.info) << o.scan.setup.reason;
    EXPECT_EQ(o.scan.setup.layout, LayoutSource::Contiguous);
    EXPECT_THAT(Notes(o.scan.setup),
                HasSubstr("reading the MFT as one run from byte " + std::to_string(r0)));
    EXPECT_TRUE(c.GoodFilesIntact(o));

    // Both unreadable: said as read errors.
    const Outcome unread = c.Run(WithCopies(c, false, true), [&](std::shared_ptr<RawVolume> base) {
        auto v = std::make_shared<FaultyVolume>(std::move(base));
        v->FailRange(r0, r0 + 1);
        v->FailRange(mirrorAt, mirrorAt + 1);
        return std::shared_ptr<RawVolume>(v);
    });
    ASSERT_TRUE(unread.scan.setup.info);
    EXPECT_THAT(Notes(unread.scan.setup),
                HasSubstr("MFT record 0 at byte " + std::to_string(r0) + " cannot be read"));
    EXPECT_THAT(Notes(unread.scan.setup), HasSubstr("$MFTMirr's copy at byte " +
                                                    std::to_string(mirrorAt) + " cannot be read"));
    EXPECT_TRUE(c.GoodFilesIntact(unread));
}

}  // namespace
}  // namespace qm::malformed
