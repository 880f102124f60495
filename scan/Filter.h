// Which rows a scan prints or a recovery takes: by name, path, extension,
// size, modification date, recoverability and orphan state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Result.h"
#include "scan/ScanEngine.h"

namespace qm {

// `pattern` against `text`: "*" any run, "?" one character, case folded for
// ASCII, Latin-1, Greek and Cyrillic letters.
bool GlobMatch(std::u16string_view pattern, std::u16string_view text);

// "123", "10K", "2M", "1G" (powers of 1024, either case) in bytes.
std::optional<std::uint64_t> ParseSizeText(std::string_view text);
// "2024-03-01", "2024-03-01T12:30", "2024-03-01T12:30:15" (a trailing "Z"
// allowed), taken as UTC, as a FILETIME.
std::optional<std::uint64_t> ParseIsoDate(std::string_view text);

struct RowFilter {
    std::optional<std::u16string> name;      // glob on the name
    std::optional<std::u16string> path;      // glob on the full path
    std::vector<std::u16string> extensions;  // without the point, any of them
    std::optional<std::uint64_t> minSize, maxSize;
    std::optional<std::uint64_t> modifiedAfter;   // modified at or after this FILETIME
    std::optional<std::uint64_t> modifiedBefore;  // modified before it
    std::optional<std::uint8_t> minRecoverable;
    bool orphans = true;  // orphans are listed

    bool Active() const;
    // `path` is RowPath's, `orphan` RowFolder's.
    bool Matches(const ScanRow& row, std::u16string_view path, bool orphan) const;
    // Only the name, size, date and recoverability: what is known before the paths.
    bool MatchesWithoutPath(const ScanRow& row) const;
};

// Takes the filter option at args[i] (and its value, advancing i): true when
// it was one. A malformed value is an error that names the option.
ErrorOr<bool> TakeFilterOption(const std::vector<std::string>& args, std::size_t& i,
                               RowFilter& filter);

// Every option TakeFilterOption takes, for the help, the man page and the completion.
const std::vector<std::string>& FilterOptionNames();

}  // namespace qm
