// The entry points of the carving targets: the DEFLATE decoder on its own,
// and every carver over arbitrary bytes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/Crc32.h"
#include "deep/carve/CarveReader.h"
#include "deep/carve/CarverSet.h"
#include "deep/carve/Inflate.h"
#include "fuzz/FuzzEntries.h"

#ifdef QM_FUZZ_ZLIB
#include <zlib.h>
#endif

namespace qm::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Broken(const char* what, int line) {
    std::fprintf(stderr, "broken promise: %s:%d: %s\n", __FILE__, line, what);
    std::fflush(stderr);
    __builtin_trap();
}
#define QM_CHECK(cond)                        \
    do {                                      \
        if (!(cond)) Broken(#cond, __LINE__); \
    } while (0)

class Collect final : public deep::ByteSink {
public:
    void Write(ByteView b) override { bytes.insert(bytes.end(), b.data(), b.data() + b.size()); }
    Bytes bytes;
};

#ifdef QM_FUZZ_ZLIB
// zlib's raw inflate of the same bytes: the output and the input used, when
// it reaches the stream's end within `limit` bytes of output.
bool Reference(const std::uint8_t* data, std::size_t size, std::size_t limit, Bytes& out,
               std::size_t& used) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    out.assign(limit + 1, 0);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    used = z.total_in;
    inflateEnd(&z);
    return rc == Z_STREAM_END && out.size() <= limit;
}
#endif

}  // namespace

void FuzzInflate(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return;
    const std::size_t limit = std::size_t{data[0]} << 10;
    ++data;
    --size;
    deep::Inflater inflater;
    deep::MemorySource src(ByteView(data, size));
    Collect out;
    const deep::InflateResult r = inflater.Run(src, limit, &out);
    QM_CHECK(r.consumed <= size);
    QM_CHECK(r.produced == out.bytes.size());
    QM_CHECK(r.crc == Crc32(0, ByteView(out.bytes.data(), out.bytes.size())));
    QM_CHECK(r.status == deep::InflateStatus::TooLong || r.produced <= limit);
#ifdef QM_FUZZ_ZLIB
    Bytes want;
    std::size_t used = 0;
    const bool ok = Reference(data, size, limit, want, used);
    QM_CHECK(ok == (r.status == deep::InflateStatus::Done));
    if (ok) {
        QM_CHECK(want == out.bytes);
        QM_CHECK(used == r.consumed);
    }
#endif
}

namespace {

deep::CarveResult CarveOnce(const deep::Carver& c, const std::uint8_t* data, std::size_t size) {
    deep::MemoryInput in(ByteView(data, size));
    return c.Carve(in);
}

bool Same(const deep::CarveResult& a, const deep::CarveResult& b) {
    return a.validation == b.validation && a.length == b.length && a.failedAt == b.failedAt &&
           a.type == b.type && a.name == b.name && a.time == b.time;
}

}  // namespace

void FuzzCarve(const std::uint8_t* data, std::size_t size) {
    for (const deep::Carver* c : deep::AllCarvers()) {
        (void)c->Starts(ByteView(data, size));
        const deep::CarveResult r = CarveOnce(*c, data, size);
        QM_CHECK(Same(r, CarveOnce(*c, data, size)));
        if (r.validation == deep::Validation::None) continue;
        QM_CHECK(r.length <= size);
        QM_CHECK(!r.type.empty());
        QM_CHECK(r.name.size() <= 100);
        if (r.validation != deep::Validation::Whole) continue;
        QM_CHECK(r.length > 0);
        // A whole file's end comes from its structure: neither cutting the
        // bytes after it nor adding more changes it.
        const deep::CarveResult alone = CarveOnce(*c, data, static_cast<std::size_t>(r.length));
        QM_CHECK(alone.validation == deep::Validation::Whole && alone.length == r.length);
        Bytes longer(data, data + size);
        longer.resize(size + 4096, 0);
        const deep::CarveResult padded = CarveOnce(*c, longer.data(), longer.size());
        QM_CHECK(padded.validation == deep::Validation::Whole && padded.length == r.length);
    }
}

}  // namespace qm::fuzz
