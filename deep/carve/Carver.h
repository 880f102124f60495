// A carver recognises one family of file formats by its own structure, in
// bytes that no file system describes any more: "does a file start here?"
// from the first bytes of a cluster (a sector, when a whole source is
// carved), and "how long is it, and does it check out?" by walking the
// format's structure, reading further as it goes. A file is reported whole
// only when its format's checks pass over its whole length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ByteView.h"

namespace qm::deep {

// The bytes of one candidate file, counted from its first byte. The deep
// pass maps them onto the volume: in one piece, or, when a file is tried as
// joined from pieces, over several runs of clusters.
class CarveInput {
public:
    virtual ~CarveInput() = default;
    // Copies bytes [offset, offset + out.size()) of the candidate into `out`;
    // returns how many it could: fewer at the end of what may be read (the
    // end of the source, the end of a piece tried, an unreadable area).
    virtual std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
    // Bytes that may be read at most, from the candidate's start.
    virtual std::uint64_t Limit() const = 0;
};

enum class Validation : std::uint8_t {
    Whole,    // the format's checks pass over the whole length
    Partial,  // the checks pass over `length` bytes, then the structure breaks
    None,     // not a file of this format after all
};

struct CarveResult {
    Validation validation = Validation::None;
    // Whole: the file's length. Partial: the bytes that check out.
    std::uint64_t length = 0;
    // Partial: where the check that failed noticed the fault (a member whose
    // CRC did not match ends here; a decoder stopped here), at or after
    // `length`; 0 when not known. A file in two pieces has its first break
    // in [length, failedAt]: the gap carving looks for the second piece from
    // the cluster boundaries in that range on.
    std::uint64_t failedAt = 0;
    // The detected type, as an extension without the point ("jpg", "docx").
    std::string type;
    // A name the file gives itself (a title, a camera's time), without
    // extension; empty when it has none.
    std::string name;
    // A FILETIME the file's own metadata gives (EXIF DateTimeOriginal); 0: none.
    std::uint64_t time = 0;
};

class Carver {
public:
    virtual ~Carver() = default;
    // A short name for messages and tests ("jpeg").
    virtual std::string_view Name() const = 0;
    // Whether a file of this format may start at `head`, the first bytes of a
    // cluster or sector (the whole of it, or what is left of the source).
    // Called for every free cluster: it looks at a few bytes only.
    virtual bool Starts(ByteView head) const = 0;
    // Walks the structure from the candidate's start and says what checks out.
    virtual CarveResult Carve(CarveInput& input) const = 0;
};

}  // namespace qm::deep
