#include "cli/Format.h"

#include <cerrno>
#include <charconv>
#include <cstring>

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

bool NeedsTsvEscape(unsigned char u) { return u < 0x20 || u == 0x7F || u == '\\'; }
bool NeedsJsonEscape(unsigned char u) { return u < 0x20 || u == 0x7F || u == '\\' || u == '"'; }

}  // namespace

void AppendTsvField(std::string& out, std::string_view text) {
    std::size_t plain = 0;  // start of the stretch that needs no escape
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (!NeedsTsvEscape(u)) continue;
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        switch (u) {
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 15];
        }
    }
    out.append(text.data() + plain, text.size() - plain);
}

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto u = static_cast<unsigned char>(text[i]);
        if (!NeedsJsonEscape(u)) continue;
        out.append(text.data() + plain, i - plain);
        plain = i + 1;
        switch (u) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[u >> 4];
                out += kHex[u & 15];
        }
    }
    out.append(text.data() + plain, text.size() - plain);
    out += '"';
}

bool AppendIsoUtc(std::string& s, std::uint64_t fileTime) {
    // Files of one folder often share their times, and created often equals
    // modified: the last text is kept. ~0 is no time the calendar can show.
    thread_local std::uint64_t lastTime = ~std::uint64_t{0};
    thread_local char lastText[32];
    thread_local std::size_t lastLength = 0;
    if (fileTime != lastTime) {
        auto t = FileTimeToUtc(fileTime);
        if (!t) return false;
        char* p = lastText;
        p = PutDigits(p, static_cast<unsigned>(t->year), 4);
        *p++ = '-';
        p = PutDigits(p, static_cast<unsigned>(t->month), 2);
        *p++ = '-';
        p = PutDigits(p, static_cast<unsigned>(t->day), 2);
        *p++ = 'T';
        p = PutDigits(p, static_cast<unsigned>(t->hour), 2);
        *p++ = ':';
        p = PutDigits(p, static_cast<unsigned>(t->minute), 2);
        *p++ = ':';
        p = PutDigits(p, static_cast<unsigned>(t->second), 2);
        *p++ = '.';
        p = PutDigits(p, static_cast<unsigned>(t->millisecond), 3);
        *p++ = 'Z';
        lastTime = fileTime;
        lastLength = static_cast<std::size_t>(p - lastText);
    } else if (lastLength == 0) {
        return false;
    }
    s.append(lastText, lastLength);
    return true;
}

void AppendPosition(std::string& out, std::uint64_t position) {
    char buf[18] = {'0', 'x'};
    char* p = buf + 2;
    int digits = 2;
    while (digits < 16 && (position >> (4 * digits)) != 0) ++digits;
    for (int i = digits - 1; i >= 0; --i) *p++ = kHex[(position >> (4 * i)) & 15];
    out.append(buf, p);
}

void AppendUnsigned(std::string& out, std::uint64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    (void)ec;
    out.append(buf, end);
}

OutputBuffer::OutputBuffer(std::FILE* file, bool interactive) : file_(file), interactive_(interactive) {
    text_.reserve(kBlock + 4096);
}

OutputBuffer::~OutputBuffer() { Flush(); }

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

void ProgressBar::Start(std::string label, std::uint64_t total) {
    label_ = std::move(label);
    total_ = total;
    done_ = 0;
    last_ = {};
    Draw();
}

void ProgressBar::Update(std::uint64_t done) {
    done_ = done;
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && done != total_) return;
    last_ = now;
    Draw();
}

void ProgressBar::Draw() {
    if (!enabled_) return;
    constexpr std::size_t kCells = 30;
    const std::uint64_t done = done_ < total_ ? done_ : total_;
    // done * 100 cannot overflow for any count of records or files we meet,
    // but keep the division first when it could.
    const std::uint64_t percent =
        total_ == 0 ? 100 : (done > UINT64_MAX / 100 ? done / (total_ / 100) : done * 100 / total_);
    const std::size_t filled = static_cast<std::size_t>(percent * kCells / 100);
    std::string line = "\r" + label_ + " [";
    line.append(filled, '#');
    line.append(kCells - filled, '-');
    line += "] ";
    char tail[64];
    std::snprintf(tail, sizeof tail, "%3llu%%  %llu/%llu", static_cast<unsigned long long>(percent),
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_));
    line += tail;
    width_ = line.size() - 1;
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
