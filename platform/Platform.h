// What the core needs from the operating system besides raw volumes: the list
// of fixed drives, the volume label, the 8-bit code page, local time and the
// locale's date and time formats, and output files that appear whole or not at all.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"

namespace qm {

class RawVolume;

// ---- Drives ---------------------------------------------------------------

// The fixed drives to probe, in the order they are listed: on Windows "C:" for
// every fixed drive letter; on Linux the device paths of non-removable block
// devices (see DiscoverBlockDevices).
std::vector<std::string> ListFixedDrives();

// Linux drive discovery over an injectable sysfs tree: every entry of
// `sysClassBlock` (normally /sys/class/block) that is not removable, not RAM,
// zram or optical, and, for loop devices, has a backing file. Returned as
// `devDir` + "/" + name, sorted by name.
std::vector<std::string> DiscoverBlockDevices(const std::filesystem::path& sysClassBlock,
                                              const std::filesystem::path& devDir);

// Windows only: the label that GetVolumeInformationA gives for "X:\". On other
// systems nullopt, and the caller reads the label from the volume itself.
std::optional<std::string> SystemVolumeLabel(std::string_view driveText);

// ---- Text -----------------------------------------------------------------

// UTF-16 to the user's 8-bit code page (the active ANSI code page on Windows,
// the locale's charset elsewhere). Characters the code page lacks become its
// default character ('?').
std::string Utf16ToAnsi(std::u16string_view text);
// UTF-16 to UTF-8, independent of the locale. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// The user's 8-bit code page back to UTF-8, for showing 8-bit texts where the
// toolkit wants UTF-8. Bytes that form no character of the code page become U+FFFD.
std::string AnsiToUtf8(std::string_view text);
// True when `byte` starts a double-byte character of the user's 8-bit code page
// (GBK: 0x81..0xFE). False on UTF-8 and single-byte code pages.
bool IsDbcsLeadByte(unsigned char byte);

// ---- Time -----------------------------------------------------------------

struct LocalDateTime {
    int year = 1601, month = 1, day = 1;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// UTC calendar time of a FILETIME (100 ns units since 1601-01-01 UTC).
// nullopt for values of 2^63 and more.
std::optional<LocalDateTime> FileTimeToUtc(std::uint64_t fileTime);
// The same instant in the local time of the current time zone, with its
// daylight-saving rule. nullopt when it cannot be converted.
std::optional<LocalDateTime> UtcToLocal(const LocalDateTime& utc);

// The user's date and time formats, as the date texts of the result list use them.
struct LocaleFormats {
    // Short date pattern in the d/M/y letters ("yyyy/M/d", "dd.MM.yyyy", "M/d/yyyy").
    // '/' prints as dateSeparator; text in single quotes prints as it stands
    // ("''" is one quote); any other character prints as itself ("yyyy年M月d日").
    std::string shortDatePattern = "yyyy/M/d";
    std::string dateSeparator = "/";
    std::string timeSeparator = ":";
    bool twelveHour = false;       // 12-hour clock with a morning/afternoon marker
    bool markerInFront = false;    // marker before the time ("AM 9:05:00")
    bool leadingZeroHour = false;  // "09" rather than "9"
    std::string am = "AM", pm = "PM";
    bool operator==(const LocaleFormats&) const = default;
};
// Read from the current locale (LC_TIME on POSIX, the user locale on Windows).
// Texts are in the 8-bit code page, like the names Utf16ToAnsi gives.
LocaleFormats ReadLocaleFormats();

// ---- Output files ---------------------------------------------------------

enum class CommitOutcome {
    Committed,
    NameTaken,  // a file has the name already: nothing was changed
    Failed,
};

// Times for an output file, as FILETIMEs (100 ns units since 1601-01-01 UTC);
// 0 leaves a time as the system sets it. Creation times are set on Windows only.
struct FileTimes {
    std::uint64_t created = 0, modified = 0, accessed = 0;
    bool Any() const { return created != 0 || modified != 0 || accessed != 0; }
};

// An output file that appears under its final name only when Commit succeeds:
// the bytes go to a temporary file in the same folder, renamed onto the final
// path at the end. Destroyed without a successful Commit, the temporary file is
// removed and an existing file at the final path is left untouched.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // Extends the file by `count` zero bytes (sparse where the system allows).
    virtual bool WriteZeros(std::uint64_t count) = 0;
    virtual bool Commit() = 0;
    // Like Commit, but under `path` (in the folder of the final path) and only
    // when no file has that name, tested and taken in one step: no other
    // file is ever replaced. After NameTaken the file can be committed under
    // another name. Files that cannot commit without replacing fail.
    virtual CommitOutcome CommitNew(const std::string& path) {
        (void)path;
        return CommitOutcome::Failed;
    }
    // Appends `count` bytes of `source` from its byte `offset` by a copy inside
    // the system (copy_file_range), without the bytes passing through this
    // process, where the source is a plain file and the system can. Returns the
    // bytes appended: fewer than `count`, 0 included, where it could not copy
    // more (another file system, a read error, no such copy here), in which case
    // the caller reads and writes the rest. A failure here is never the file's.
    virtual std::uint64_t CopyFrom(RawVolume& source, std::uint64_t offset, std::uint64_t count) {
        (void)source, (void)offset, (void)count;
        return 0;
    }
    // The system's error code (errno, or GetLastError on Windows) of the last
    // Write, WriteZeros or Commit that failed; 0 when none failed or the
    // system gave none.
    virtual int LastError() const { return 0; }
    // Times the file is to carry once committed, set on it as the writing
    // ends (the rename keeps them). Times that cannot be set do not fail
    // the commit: TimesError says why afterwards.
    virtual void KeepTimes(const FileTimes& times) { (void)times; }
    // After a commit: the system's error code when the times asked for could
    // not be set, 0 when they were (or none were asked for).
    virtual int TimesError() const { return 0; }
};

// The system's text for an error code of LastError / RecoverResult::systemError
// ("No space left on device"), in English where the system offers it.
std::string SystemErrorText(int code);
// True for the codes of a full disk or an exhausted quota (ENOSPC, EDQUOT;
// ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL).
bool IsOutOfSpace(int code);

class OutputFactory {
public:
    virtual ~OutputFactory() = default;
    virtual ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) = 0;
    // Makes the files committed so far durable, with one flush of each output
    // file system rather than one per file; false when the system reports that
    // data it held back could not be written. Called at the end of a recovery.
    virtual bool Finish() { return true; }
};

// Real files on this system.
OutputFactory& DefaultOutputFactory();

// ---- Output folders -------------------------------------------------------

enum class FolderLevel {
    Made,     // the folder was created
    Existed,  // a real folder of that name was there already
    Taken,    // something else has the name: a file, a symbolic link, a reparse point
    Failed,
};

// Makes the folder `name` (one level: no separator, not "." or "..") inside
// `parent`, an existing folder, or finds a real folder of that name there.
// A symbolic link (on Windows a reparse point) at `name` is never followed:
// it counts as Taken. Failed sets `error` to the system's error code.
FolderLevel MakeFolderLevel(const std::string& parent, const std::string& name, int& error);
// Removes `folder` when it is empty; false when it is not, or cannot be removed.
bool RemoveEmptyFolder(const std::string& folder);

// True when `folder` lies on the same device as the volume `source` (so that
// writing there may overwrite the clusters being recovered). Unknown: false.
bool FolderIsOnSource(const std::string& folder, const std::string& source);

}  // namespace qm
