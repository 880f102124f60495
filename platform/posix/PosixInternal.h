// Pieces of the POSIX backend that the tests reach directly.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qm::posix {

// The charset of the current LC_CTYPE locale ("UTF-8", "GBK", "ANSI_X3.4-1968").
std::string CurrentCodeset();
bool IsUtf8Codeset(std::string_view codeset);

// Code points to text in charset `to`; characters it lacks become '?'.
// nullopt when iconv does not know the charset.
std::optional<std::string> FromCodePoints(std::u32string_view text, const std::string& to);
// Text in charset `from` to code points; bytes that form no character become
// U+FFFD. nullopt when iconv does not know the charset.
std::optional<std::u32string> ToCodePoints(std::string_view text, const std::string& from);

// True when a file system on device `dev` lies, directly or through the layers
// sysfs shows (partition inside disk, device-mapper and md members, loop device
// over a file), on block device `target`. `sysDevBlock` is normally
// /sys/dev/block and `mountinfo` /proc/self/mountinfo (for file systems such as
// btrfs whose st_dev is not the device's number).
bool DeviceLiesOn(dev_t dev, dev_t target, const std::filesystem::path& sysDevBlock,
                  const std::filesystem::path& mountinfo);

}  // namespace qm::posix
