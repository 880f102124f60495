#include "cli/Format.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/Platform.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qm::cli {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Writes `value` in decimal at `p`, zero-filled to `width` digits; returns the end.
char* PutDigits(char* p, unsigned value, int width) {
    char tmp[10];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n < width) tmp[n++] = '0';
    while (n > 0) *p++ = tmp[--n];
    return p;
}

// Two digits of `value` (below 100).
char* PutTwo(char* p, unsigned value) {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::memcpy(p, kPairs + 2 * value, 2);
    return p + 2;
}

bool NeedsTsvEscape(unsigned char u) {
    return u < 0x20 || u == 0x7F || u == '\\';
}
bool NeedsJsonEscape(unsigned char u) {
    return u < 0x20 || u == 0x7F || u == '\\' || u == '"';
}

char* PutText(char* p, std::string_view text) {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

// How many bytes from the start need no escape, looked at eight at a time
// (names and paths rarely hold one). `quote`: '"' needs one too (JSON).
std::size_t PlainBytes(std::string_view text, bool quote) {
    constexpr std::uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
    // Whether a byte of w is 0: exact as a yes or no, though not as to which byte.
    auto anyZero = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHigh;  // a byte below 0x20
        std::uint64_t hit = control | anyZero(w ^ (kOnes * 0x7F)) | anyZero(w ^ (kOnes * '\\'));
        if (quote) hit |= anyZero(w ^ (kOnes * '"'));
        if (hit) break;
    }
    for (; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (quote ? NeedsJsonEscape(u) : NeedsTsvEscape(u)) break;
    }
    return i;
}

// Appends what `put` writes, given room for at most `most` bytes.
template <typename Put>
void AppendVia(std::string& out, std::size_t most, Put&& put) {
    char small[64];
    if (most <= sizeof small) {
        out.append(small, put(small));
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + most);
    out.resize(static_cast<std::size_t>(put(out.data() + at) - out.data()));
}

}  // namespace

char* PutTsvField(char* p, std::string_view text) {
    std::size_t plain = 0;  // start of the stretch that needs no escape
    for (std::size_t i = PlainBytes(text, false); i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (!NeedsTsvEscape(u)) continue;
        p = PutText(p, text.substr(plain, i - plain));
        plain = i + 1;
        *p++ = '\\';
        switch (u) {
            case '\\':
                *p++ = '\\';
                break;
            case '\t':
                *p++ = 't';
                break;
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            default:
                *p++ = 'x';
                *p++ = kHex[u >> 4];
                *p++ = kHex[u & 15];
        }
    }
    return PutText(p, text.substr(plain));
}

char* PutJsonString(char* p, std::string_view text) {
    *p++ = '"';
    std::size_t plain = 0;
    for (std::size_t i = PlainBytes(text, true); i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (!NeedsJsonEscape(u)) continue;
        p = PutText(p, text.substr(plain, i - plain));
        plain = i + 1;
        *p++ = '\\';
        switch (u) {
            case '"':
                *p++ = '"';
                break;
            case '\\':
                *p++ = '\\';
                break;
            case '\b':
                *p++ = 'b';
                break;
            case '\f':
                *p++ = 'f';
                break;
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            case '\t':
                *p++ = 't';
                break;
            default:
                p = PutText(p, "u00");
                *p++ = kHex[u >> 4];
                *p++ = kHex[u & 15];
        }
    }
    p = PutText(p, text.substr(plain));
    *p++ = '"';
    return p;
}

char* PutIsoUtc(char* p, std::uint64_t fileTime) {
    // The calendar date is worked out once per day met: the files of a volume
    // gather on few days, and created is often modified.
    thread_local std::uint64_t lastDay = ~std::uint64_t{0};
    thread_local char date[40];
    thread_local std::size_t dateLength = 0;
    const std::uint64_t ms = fileTime / 10000;
    const std::uint64_t secs = ms / 1000;
    const std::uint64_t day = secs / 86400;
    if (day != lastDay || fileTime >= (std::uint64_t{1} << 63)) {
        auto t = FileTimeToUtc(fileTime);
        if (!t) return nullptr;
        char* d = date;
        d = PutDigits(d, static_cast<unsigned>(t->year), 4);
        *d++ = '-';
        d = PutDigits(d, static_cast<unsigned>(t->month), 2);
        *d++ = '-';
        d = PutDigits(d, static_cast<unsigned>(t->day), 2);
        *d++ = 'T';
        lastDay = day;
        dateLength = static_cast<std::size_t>(d - date);
    }
    std::memcpy(p, date, dateLength);
    p += dateLength;
    const auto second = static_cast<unsigned>(secs % 86400);
    p = PutTwo(p, second / 3600);
    *p++ = ':';
    p = PutTwo(p, second / 60 % 60);
    *p++ = ':';
    p = PutTwo(p, second % 60);
    *p++ = '.';
    const auto milli = static_cast<unsigned>(ms % 1000);
    *p++ = static_cast<char>('0' + milli / 100);
    p = PutTwo(p, milli % 100);
    *p++ = 'Z';
    return p;
}

char* PutPosition(char* p, std::uint64_t position) {
    *p++ = '0';
    *p++ = 'x';
    int digits = 2;
    while (digits < 16 && (position >> (4 * digits)) != 0) ++digits;
    for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(position >> (4 * i)) & 15];
    return p;
}

char* PutUnsigned(char* p, std::uint64_t value) {
    return std::to_chars(p, p + kMaxUnsigned, value).ptr;
}

void AppendTsvField(std::string& out, std::string_view text) {
    AppendVia(out, kTsvPerByte * text.size(), [&](char* p) { return PutTsvField(p, text); });
}

void AppendJsonString(std::string& out, std::string_view text) {
    AppendVia(out, kJsonPerByte * text.size() + 2, [&](char* p) { return PutJsonString(p, text); });
}

bool AppendIsoUtc(std::string& out, std::uint64_t fileTime) {
    char text[kMaxIsoUtc];
    char* end = PutIsoUtc(text, fileTime);
    if (!end) return false;
    out.append(text, end);
    return true;
}

void AppendPosition(std::string& out, std::uint64_t position) {
    char text[kMaxPosition];
    out.append(text, PutPosition(text, position));
}

void AppendUnsigned(std::string& out, std::uint64_t value) {
    char text[kMaxUnsigned];
    out.append(text, PutUnsigned(text, value));
}

OutputBuffer::OutputBuffer(std::FILE* file, bool interactive)
    : file_(file), interactive_(interactive) {
    text_.reserve(kBlock + 4096);
}

OutputBuffer::~OutputBuffer() {
    Flush();
}

void OutputBuffer::Flush() {
    if (text_.empty()) return;
    if (beforeWrite) beforeWrite();
    if (!failed_ && (std::fwrite(text_.data(), 1, text_.size(), file_) != text_.size() ||
                     std::fflush(file_) != 0)) {
        failed_ = true;
        error_ = errno;
    }
    text_.clear();
}

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
    return _isatty(_fileno(file)) != 0;
#else
    return ::isatty(::fileno(file)) != 0;
#endif
}

std::string ByteSizeText(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    // 1023.96 KiB would print as "1024.0 KiB": such values take the next unit.
    while (value >= 1023.95 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

// 0 to 100; done * 100 cannot overflow for any count of records or files we
// meet, but the division comes first where it could.
std::uint64_t Percent(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return 100;
    done = std::min(done, total);
    return done > UINT64_MAX / 100 ? done / (total / 100) : done * 100 / total;
}

// "0:42", "12:05", "3:02:09".
std::string DurationText(std::uint64_t seconds) {
    char text[32];
    if (seconds < 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu",
                      static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

}  // namespace

std::string ProgressFigures(const ProgressCounts& c, std::chrono::milliseconds elapsed) {
    const bool bytes = c.bytesTotal > 0;
    const std::uint64_t done = std::min(c.done, c.total);
    const std::uint64_t bytesDone = std::min(c.bytesDone, c.bytesTotal);
    char text[64];
    std::snprintf(text, sizeof text, "%3llu%%  %llu/%llu",
                  static_cast<unsigned long long>(bytes ? Percent(bytesDone, c.bytesTotal)
                                                        : Percent(done, c.total)),
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(c.total));
    std::string line = text;
    if (!bytes) return line;
    line += "  " + ByteSizeText(bytesDone) + "/" + ByteSizeText(c.bytesTotal);
    if (elapsed >= kEstimateAfter && bytesDone > 0 && bytesDone < c.bytesTotal) {
        const double perByte =
            static_cast<double>(elapsed.count()) / 1000.0 / static_cast<double>(bytesDone);
        const double left = perByte * static_cast<double>(c.bytesTotal - bytesDone);
        // Past a hundred days the figure says nothing.
        if (left < 100.0 * 86400)
            line += "  " + DurationText(static_cast<std::uint64_t>(left + 0.5)) + " left";
    }
    return line;
}

void ProgressBar::Start(std::string label, std::uint64_t total, std::uint64_t totalBytes) {
    label_ = std::move(label);
    counts_ = {0, total, 0, totalBytes};
    start_ = std::chrono::steady_clock::now();
    last_ = {};
    Draw();
}

bool ProgressBar::Due(std::chrono::steady_clock::time_point now) const {
    return now - last_ >= std::chrono::milliseconds(100);
}

void ProgressBar::Update(std::uint64_t done) {
    counts_.done = done;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (!Due(now) && done != counts_.total) return;
    last_ = now;
    Draw();
}

void ProgressBar::UpdateBytes(std::uint64_t bytesDone) {
    if (bytesDone <= counts_.bytesDone) return;
    counts_.bytesDone = bytesDone;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (!Due(now)) return;
    last_ = now;
    Draw();
}

void ProgressBar::Draw() {
    if (!enabled_) return;
    // Narrower with the byte figures, so that the line fits 80 columns.
    const std::size_t cells = counts_.bytesTotal > 0 ? 20 : 30;
    const ProgressCounts& c = counts_;
    const std::uint64_t percent =
        c.bytesTotal > 0 ? Percent(c.bytesDone, c.bytesTotal) : Percent(c.done, c.total);
    const std::size_t filled = static_cast<std::size_t>(percent * cells / 100);
    std::string line = "\r" + label_ + " [";
    line.append(filled, '#');
    line.append(cells - filled, '-');
    line += "] ";
    line += ProgressFigures(c, std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start_));
    // A shorter line than the last one leaves none of it behind.
    const std::size_t width = line.size() - 1;
    if (shown_ && width < width_) line.append(width_ - width, ' ');
    width_ = std::max(width, shown_ ? width_ : 0);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
    shown_ = true;
}

void ProgressBar::Clear() {
    if (!shown_) return;
    std::string blank = "\r" + std::string(width_, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), file_);
    std::fflush(file_);
    shown_ = false;
}

}  // namespace qm::cli
