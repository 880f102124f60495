// A DEFLATE decoder (RFC 1951) of our own: ZIP members, GZIP members and PDF
// streams are checked by decompressing them. It streams: the compressed bytes
// are pulled from a source as needed and the output goes to a sink in pieces,
// so that memory stays at the 32 KiB window and a few buffers (about 130 KiB
// an Inflater) whatever the sizes. Every code, length and distance is checked;
// bad data ends the run with Corrupt, never with a read or write out of bounds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "base/ByteView.h"

namespace qm::deep {

// Where the compressed bytes come from, in order.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Fills `out` with the next bytes; returns how many (0: there are no more).
    virtual std::size_t Read(std::span<std::uint8_t> out) = 0;
};

// Takes the decompressed bytes as they come.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void Write(ByteView bytes) = 0;
};

enum class InflateStatus : std::uint8_t {
    Done,       // the final block ended
    Truncated,  // the input ended before the final block did
    Corrupt,    // the data breaks a rule of the format
    TooLong,    // the output would pass the limit given
};

struct InflateResult {
    InflateStatus status = InflateStatus::Corrupt;
    // Done: the stream's length in input bytes (its last byte included).
    // Otherwise: the input bytes read up to the point where the run stopped.
    std::uint64_t consumed = 0;
    // Bytes decompressed (and handed to the sink) up to there.
    std::uint64_t produced = 0;
    // CRC-32 of those bytes.
    std::uint32_t crc = 0;
};

class Inflater {
public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // Decodes one DEFLATE stream from `in`. More than `maxOutput` bytes of
    // output end the run with TooLong. The sink, when given, sees every byte
    // of output in order. The Inflater may be run again for another stream.
    InflateResult Run(ByteSource& in, std::uint64_t maxOutput, ByteSink* sink = nullptr);

private:
    struct State;
    std::unique_ptr<State> s_;
};

// A source over bytes in memory.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(ByteView bytes) : bytes_(bytes) {}
    std::size_t Read(std::span<std::uint8_t> out) override;

private:
    ByteView bytes_;
    std::size_t pos_ = 0;
};

}  // namespace qm::deep
