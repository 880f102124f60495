// The entry points of the fuzz targets. Each takes one input, drives the core
// with it and checks what must hold for any input at all; a broken promise
// ends the process with a message on stderr and a trap, which libFuzzer (and
// the regression tests, which replay saved inputs through the same entries
// with the normal compiler) report as a failure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm::fuzz {

// Byte 0 picks the update-sequence stride; the rest is one MFT record, run
// through ApplyFixups, every attribute lookup the scan and the recovery make,
// and the row the scan would make of it.
void FuzzRecord(const std::uint8_t* data, std::size_t size);

// Bytes 0..11 pick the cluster size, the data size and how the $DATA header is
// damaged; the rest is a run list. It is decoded, then recovered from a record
// that carries it on a small in-memory volume, and the output is compared
// with the content the runs describe.
void FuzzRunList(const std::uint8_t* data, std::size_t size);

// The input is the start of a volume (its first 512 bytes the boot sector),
// run through the volume set-up.
void FuzzBoot(const std::uint8_t* data, std::size_t size);

// The input is a whole small volume: scanned, then every row recovered (into
// memory, or into a real temporary folder for some inputs). The volume must
// be byte for byte the same afterwards.
void FuzzImage(const std::uint8_t* data, std::size_t size);

// Byte 0 picks the check, byte 1 the output's size. Even: the rest is LZNT1
// data, decoded into an output with guard bytes after it, which must stay;
// the result is the same with exactly the room it needs. Odd: the rest is
// content, compressed by the test writers and decoded back to itself.
void FuzzLznt1(const std::uint8_t* data, std::size_t size);

// Byte 0 times 1024 is the output limit; the rest is a raw DEFLATE stream,
// decoded (and, where zlib is there, compared with zlib's decoding of it).
void FuzzInflate(const std::uint8_t* data, std::size_t size);

// The input is a candidate file, run through every carver. A whole file must
// stay whole at the same length when cut at its end or followed by zeros.
void FuzzCarve(const std::uint8_t* data, std::size_t size);

// Open faults of the core that the targets step around until they are fixed,
// so that a run goes on finding others. On by default; QM_FUZZ_STRICT=1 in the
// environment turns it off (to minimise such an input), and the regression
// tests replay with it off.
void TolerateOpenFaults(bool on);

// Inputs larger than this are cut; the targets are fast only on small inputs.
constexpr std::size_t kMaxInput = 1u << 17;

}  // namespace qm::fuzz
