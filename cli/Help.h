// The texts quillmere-cli prints about itself: usage, the help of each
// command with its examples, the exit statuses and the version.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::cli {

// The short usage printed after a usage error, and first in --help.
const char* UsageText();

// `quillmere-cli --help`: usage, what each command does, exit statuses.
std::string GlobalHelp();

// `quillmere-cli help COMMAND` and `quillmere-cli COMMAND --help`: the
// command's own usage, options and examples. nullopt for an unknown command.
std::optional<std::string> CommandHelp(std::string_view command);

// "quillmere-cli 1.0.0" and the image formats this build reads.
std::string VersionText();

// The exit statuses, one "  N  meaning" line each.
const char* ExitStatusText();

// The commands and each command's options, for completion and checks.
const std::vector<std::string>& CommandNames();
std::vector<std::string> CommandOptions(std::string_view command);

}  // namespace qm::cli
