// Running quillmere-cli from the tests: as a program of its own or in this
// process, with what it printed and its exit status; a scratch folder per test.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/VolumeBuilder.h"

namespace qm::test {

struct Outcome {
    int status;
    std::string out, err;
};

// n bytes that differ from their neighbours, the same for the same seed.
Bytes Pattern(std::size_t n, unsigned seed);

std::string Slurp(const std::filesystem::path& p);
void Spit(const std::filesystem::path& p, const Bytes& b);

// A new, empty folder in the system's temporary folder: NAME-XXXXXX.
std::filesystem::path MakeScratchFolder(const char* name);

// The program, its standard output and error in files of `scratch`, or its
// standard output to a pipe nobody reads when `closedStdout`; with
// `fileSizeLimit`, no file it writes may grow past that many bytes (RLIMIT_FSIZE).
Outcome RunProgram(const std::filesystem::path& scratch, std::vector<std::string> args,
                   bool closedStdout = false, std::uint64_t fileSizeLimit = 0);
// cli::Run in this process, so that the output can be a test double.
Outcome RunInProcess(const std::vector<std::string>& args);

}  // namespace qm::test
