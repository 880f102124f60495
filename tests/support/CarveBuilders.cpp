#include "tests/support/CarveBuilders.h"

#include <algorithm>

#include "base/Crc32.h"

namespace qm::test {
namespace {

std::uint32_t Crc(const Bytes& b, std::size_t from, std::size_t to) {
    return Crc32(0, ByteView(b.data() + from, to - from));
}

void Append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// RAR 5 variable-length integers: seven bits a byte, low first.
Bytes Vint(std::uint64_t v) {
    Bytes out;
    do {
        std::uint8_t b = v & 0x7F;
        v >>= 7;
        out.push_back(v ? b | 0x80 : b);
    } while (v);
    return out;
}

// A RAR 5 header: CRC, size, then `body` (type, flags and the rest).
Bytes Header5(const Bytes& body) {
    Bytes out(4, 0);
    Append(out, Vint(body.size()));
    Append(out, body);
    PutLe(out, 0, Crc(out, 4, out.size()), 4);
    return out;
}

}  // namespace

Bytes Rar4Stored(const std::vector<NamedBytes>& files) {
    Bytes out = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
    auto block = [&](std::uint8_t type, std::uint16_t flags, Bytes fields, const Bytes& data) {
        Bytes h(7, 0);
        h[2] = type;
        PutLe(h, 3, flags, 2);
        Append(h, fields);
        PutLe(h, 5, h.size(), 2);
        PutLe(h, 0, Crc(h, 2, h.size()) & 0xFFFF, 2);
        Append(out, h);
        Append(out, data);
    };
    block(0x73, 0, Bytes(6, 0), {});
    for (const NamedBytes& f : files) {
        Bytes fields(25, 0);
        PutLe(fields, 0, f.bytes.size(), 4);                   // packed size
        PutLe(fields, 4, f.bytes.size(), 4);                   // unpacked size
        fields[8] = 2;                                         // Windows
        PutLe(fields, 9, Crc(f.bytes, 0, f.bytes.size()), 4);  // data CRC
        PutLe(fields, 13, 0x58610000, 4);                      // DOS time
        fields[17] = 29;                                       // version
        fields[18] = 0x30;                                     // stored
        PutLe(fields, 19, f.name.size(), 2);
        PutLe(fields, 21, 0x20, 4);  // attributes
        Append(fields, BytesOf(f.name));
        block(0x74, 0x8000, fields, f.bytes);
    }
    block(0x7B, 0x4000, {}, {});
    return out;
}

Bytes Rar5Stored(const std::vector<NamedBytes>& files) {
    Bytes out = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};
    Append(out, Header5({1, 0, 0}));  // main header: type 1, no flags, no archive flags
    for (const NamedBytes& f : files) {
        Bytes body = {2, 2};  // file header with a data area
        Append(body, Vint(f.bytes.size()));
        Append(body, {0x04});  // file flags: CRC present
        Append(body, Vint(f.bytes.size()));
        Append(body, {0x20});  // attributes
        Bytes crc(4, 0);
        PutLe(crc, 0, Crc(f.bytes, 0, f.bytes.size()), 4);
        Append(body, crc);
        Append(body, {0x00, 0x00});  // stored, version 0; Windows
        Append(body, Vint(f.name.size()));
        Append(body, BytesOf(f.name));
        Append(out, Header5(body));
        Append(out, f.bytes);
    }
    Append(out, Header5({5, 0, 0}));
    return out;
}

namespace {

constexpr std::uint32_t kEnd = 0xFFFFFFFE, kFatMark = 0xFFFFFFFD, kFree = 0xFFFFFFFF;

Bytes SummaryInformation(const std::string& title) {
    Bytes s(48, 0);
    PutLe(s, 0, 0xFFFE, 2);
    PutLe(s, 4, 0x00020006, 4);
    PutLe(s, 24, 1, 4);
    const Bytes fmtid = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                         0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
    std::copy(fmtid.begin(), fmtid.end(), s.begin() + 28);
    PutLe(s, 44, 48, 4);
    Bytes sec(24, 0);
    PutLe(sec, 4, 2, 4);
    PutLe(sec, 8, 1, 4);  // code page at 24
    PutLe(sec, 12, 24, 4);
    PutLe(sec, 16, 2, 4);  // title at 32
    PutLe(sec, 20, 32, 4);
    Bytes cp(8, 0);
    PutLe(cp, 0, 2, 4);
    PutLe(cp, 4, 1252, 2);
    Append(sec, cp);
    Bytes t(8, 0);
    PutLe(t, 0, 30, 4);
    PutLe(t, 4, title.size() + 1, 4);
    Append(t, BytesOf(title));
    t.push_back(0);
    while (t.size() % 4) t.push_back(0);
    Append(sec, t);
    PutLe(sec, 0, sec.size(), 4);
    Append(s, sec);
    return s;
}

struct Stream {
    std::u16string name;
    Bytes bytes;
    std::uint32_t start = kEnd;
};

Bytes DirectoryEntry(const std::u16string& name, std::uint8_t type, std::uint32_t right,
                     std::uint32_t child, std::uint32_t start, std::uint64_t size) {
    Bytes e(128, 0);
    const Bytes n = Utf16Le(name);
    std::copy(n.begin(), n.end(), e.begin());
    PutLe(e, 64, n.size() + 2, 2);
    e[66] = type;
    e[67] = 1;  // black
    PutLe(e, 68, kFree, 4);
    PutLe(e, 72, right, 4);
    PutLe(e, 76, child, 4);
    PutLe(e, 116, start, 4);
    PutLe(e, 120, size, 4);
    return e;
}

}  // namespace

Bytes CompoundFile(const std::vector<NamedBytes>& streams, const std::string& title) {
    std::vector<Stream> all;
    for (const NamedBytes& s : streams)
        all.push_back({std::u16string(s.name.begin(), s.name.end()), s.bytes});
    if (!title.empty()) all.push_back({u"\x05SummaryInformation", SummaryInformation(title)});
    std::vector<std::uint32_t> fat(128, kFree), miniFat(128, kFree);
    std::vector<Bytes> sectors(1);  // sector 0: the FAT
    fat[0] = kFatMark;
    auto chain = [](std::vector<std::uint32_t>& table, std::uint32_t first, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) table[first + i] = i + 1 < n ? first + i + 1 : kEnd;
    };
    const std::size_t dirSectors = (all.size() + 1 + 3) / 4;
    const std::uint32_t dirStart = 1;
    chain(fat, dirStart, dirSectors);
    sectors.resize(1 + dirSectors);
    // The mini stream, in 64-byte units, and its mini FAT.
    Bytes mini;
    for (Stream& s : all) {
        if (s.bytes.size() >= 4096 || s.bytes.empty()) continue;
        s.start = static_cast<std::uint32_t>(mini.size() / 64);
        chain(miniFat, s.start, (s.bytes.size() + 63) / 64);
        Append(mini, s.bytes);
        mini.resize((mini.size() + 63) / 64 * 64, 0);
    }
    const std::uint32_t miniFatSector = static_cast<std::uint32_t>(sectors.size());
    Bytes mf(512);
    for (std::size_t i = 0; i < 128; ++i) PutLe(mf, 4 * i, miniFat[i], 4);
    sectors.push_back(mf);
    fat[miniFatSector] = kEnd;
    auto place = [&](const Bytes& bytes) {
        const std::uint32_t first = static_cast<std::uint32_t>(sectors.size());
        const std::size_t n = (bytes.size() + 511) / 512;
        for (std::size_t i = 0; i < n; ++i) {
            Bytes sec(512, 0);
            std::copy(bytes.begin() + i * 512,
                      bytes.begin() + std::min(bytes.size(), (i + 1) * 512), sec.begin());
            sectors.push_back(sec);
        }
        chain(fat, first, n);
        return first;
    };
    const std::uint32_t miniStart = mini.empty() ? kEnd : place(mini);
    for (Stream& s : all)
        if (s.bytes.size() >= 4096) s.start = place(s.bytes);
    Bytes dir =
        DirectoryEntry(u"Root Entry", 5, kFree, all.empty() ? kFree : 1, miniStart, mini.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::uint32_t right = i + 1 < all.size() ? static_cast<std::uint32_t>(i + 2) : kFree;
        Append(dir,
               DirectoryEntry(all[i].name, 2, right, kFree, all[i].start, all[i].bytes.size()));
    }
    dir.resize(dirSectors * 512, 0);
    for (std::size_t i = 0; i < dirSectors; ++i)
        sectors[dirStart + i] = Bytes(dir.begin() + i * 512, dir.begin() + (i + 1) * 512);
    sectors[0] = Bytes(512);
    for (std::size_t i = 0; i < 128; ++i) PutLe(sectors[0], 4 * i, fat[i], 4);
    Bytes out(512, 0);
    const Bytes sig = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(sig.begin(), sig.end(), out.begin());
    PutLe(out, 24, 0x3E, 2);
    PutLe(out, 26, 3, 2);
    PutLe(out, 28, 0xFFFE, 2);
    PutLe(out, 30, 9, 2);
    PutLe(out, 32, 6, 2);
    PutLe(out, 44, 1, 4);
    PutLe(out, 48, dirStart, 4);
    PutLe(out, 56, 4096, 4);
    PutLe(out, 60, miniFatSector, 4);
    PutLe(out, 64, 1, 4);
    PutLe(out, 68, kEnd, 4);
    for (std::size_t i = 0; i < 109; ++i) PutLe(out, 76 + 4 * i, i == 0 ? 0 : kFree, 4);
    for (const Bytes& s : sectors) Append(out, s);
    return out;
}

}  // namespace qm::test
