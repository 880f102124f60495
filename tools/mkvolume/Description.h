// The description of a test volume: its geometry, and the directories and
// files to write into it, in order, followed by the deletions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qm::mkvolume {

struct DescriptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct VolumeSpec {
    std::uint64_t size = 64ull << 20;
    std::uint32_t clusterSize = 4096;
    std::uint32_t sectorSize = 512;
    std::string label;
    std::uint64_t seed = 1;
    std::optional<unsigned> mftZone;  // mkntfs -z, 1..4
};

// A stretch of real data inside a file that is otherwise zero.
struct Piece {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool text = false;  // readable lines instead of pseudo-random bytes
};

enum class FileKind {
    Random,      // seeded pseudo-random bytes
    Text,        // readable lines
    Literal,     // the bytes given in the description
    Sparse,      // holes, data only in the pieces
    Solid,       // clusters allocated for the whole size, zero outside the pieces
    Fragmented,  // random bytes written in small chunks into a volume full of holes
};

struct FileSpec {
    std::string path;  // absolute, "/" separated, UTF-8
    FileKind kind = FileKind::Random;
    std::uint64_t size = 0;
    std::string literal;
    std::vector<Piece> pieces;
    std::uint32_t chunk = 4096;  // write size of a fragmented file
    bool reverse = false;        // fragmented: last chunk first, so the runs step backwards
    std::uint64_t seed = 0;      // derived from the volume seed and the path
    std::string stream;          // a named $DATA of the file at `path` (stream directive)
    bool compressed = false;     // LZNT1: the file carries the compressed attribute
    bool encrypted = false;      // the EFS flag in $STANDARD_INFORMATION (content stays plain)
    bool attrList = false;       // fragmented: runs enough to need an $ATTRIBUTE_LIST
    std::string reuse;           // take the MFT record of this deleted path
    std::string over;            // allocate from the first cluster of this deleted path
};

// Thousands of small files with bigger ones between them, so that the MFT has
// to grow while data clusters keep taking the space behind it.
struct MftFillSpec {
    std::string dir;
    std::uint32_t count = 2000;
    std::uint32_t bigEvery = 200;
    std::uint64_t smallSize = 100;
    std::uint64_t bigSize = 64 << 10;
    std::uint32_t deleteEvery = 0;  // delete every Nth small file at the end (0: none)
};

struct Step {
    enum Kind { Dir, File, MftFill, Ballast, Stream, Delete } kind = File;
    std::string path;                    // Dir, Ballast
    std::uint64_t leave = 0;             // Ballast: bytes to leave free
    bool compressed = false;             // Dir: files made in it are compressed
    std::vector<std::string> deletions;  // Delete: done at this point, in this order
    FileSpec file;
    MftFillSpec fill;
};

struct Description {
    VolumeSpec volume;
    std::vector<Step> steps;
    std::vector<std::string> deletions;  // done after every step, in this order
};

// "4096", "64K", "3M", "5G", "2T"; binary multiples.
std::uint64_t ParseSize(const std::string& text);
// Splits a line into words; "double quoted" words may hold blanks and \" \\ escapes.
std::vector<std::string> SplitWords(const std::string& line);
Description ParseDescription(const std::string& text);

// Content of a file: fills `out` with the bytes at [offset, offset + out.size()).
void FillContent(const FileSpec& file, std::uint64_t offset, std::span<std::uint8_t> out);
// True when [offset, offset + length) lies wholly outside the file's pieces
// (so its content is zero) for Sparse and Solid files.
bool IsZeroStretch(const FileSpec& file, std::uint64_t offset, std::uint64_t length);
// MD5 of the whole content, as lower-case hex.
std::string ContentMd5(const FileSpec& file);

std::uint64_t SeedFor(std::uint64_t volumeSeed, const std::string& path);

}  // namespace qm::mkvolume
