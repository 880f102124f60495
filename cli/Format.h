// Text forms of the command line's output: TSV fields, JSON strings, times,
// a buffered writer for stdout and the progress bar on stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace qm::cli {

// A field of a tab-separated line. Backslash, tab, line feed and carriage
// return become \\ \t \n \r, other control bytes \xHH, so that every row
// stays one line of the same number of fields.
void AppendTsvField(std::string& out, std::string_view text);

// A JSON string literal, quotes included. `text` is UTF-8.
void AppendJsonString(std::string& out, std::string_view text);

// Appends a FILETIME as ISO 8601 UTC with milliseconds ("2004-02-29T20:00:29.452Z").
// False, and nothing appended, for a value no calendar time stands for (2^63 and above).
bool AppendIsoUtc(std::string& out, std::uint64_t fileTime);

// The row caption: "0x" + the position in upper-case hexadecimal, 2 digits at least.
void AppendPosition(std::string& out, std::uint64_t position);

void AppendUnsigned(std::string& out, std::uint64_t value);

// The same texts written at `p`, for rows put together in one buffer: each
// returns the end of what it wrote, and needs room for at most the bytes below.
// PutIsoUtc writes nothing and returns nullptr for a value no calendar time stands for.
constexpr std::size_t kTsvPerByte = 4;   // "\xHH"
constexpr std::size_t kJsonPerByte = 6;  // "\u00HH", plus the two quotes
constexpr std::size_t kMaxIsoUtc = 40;
constexpr std::size_t kMaxPosition = 18;
constexpr std::size_t kMaxUnsigned = 20;
char* PutTsvField(char* p, std::string_view text);
char* PutJsonString(char* p, std::string_view text);
char* PutIsoUtc(char* p, std::uint64_t fileTime);
char* PutPosition(char* p, std::uint64_t position);
char* PutUnsigned(char* p, std::uint64_t value);

// Collects output and writes it in large blocks; a terminal gets each line at
// once. Write failures are remembered, not reported.
class OutputBuffer {
public:
    OutputBuffer(std::FILE* file, bool interactive);
    ~OutputBuffer();
    std::string& text() { return text_; }
    // Call after each complete line.
    void LineDone() {
        if (interactive_ || text_.size() >= kBlock) Flush();
    }
    void Flush();
    bool failed() const { return failed_; }
    int error() const { return error_; }  // errno of the first failed write
    // Called before anything reaches the file (the progress bar clears its line).
    std::function<void()> beforeWrite;

private:
    static constexpr std::size_t kBlock = 256 * 1024;
    std::FILE* file_;
    bool interactive_;
    bool failed_ = false;
    int error_ = 0;
    std::string text_;
};

// What a progress line counts: items (records, files) and, when bytesTotal
// is not 0, the bytes of those items as well.
struct ProgressCounts {
    std::uint64_t done = 0, total = 0;
    std::uint64_t bytesDone = 0, bytesTotal = 0;
};

// The time left is estimated once this much of the work has been timed.
constexpr std::chrono::seconds kEstimateAfter{3};

// "512 B", "1.5 KiB", "675.0 MiB", "2.0 TiB".
std::string ByteSizeText(std::uint64_t bytes);

// The figures after the bar: " 45%  1234/2742". Counting bytes, the per cent
// is that of the bytes, "  675.0 MiB/1.5 GiB" follows, and once `elapsed`
// reaches kEstimateAfter with bytes done, the time left ("  0:42 left").
std::string ProgressFigures(const ProgressCounts& counts, std::chrono::milliseconds elapsed);

// "label [#########-----------]  45%  1234/2742" on one line of a terminal,
// redrawn at most ten times a second. Does nothing when disabled.
class ProgressBar {
public:
    ProgressBar(std::FILE* file, bool enabled) : file_(file), enabled_(enabled) {}
    ~ProgressBar() { Clear(); }
    // With `totalBytes`, the bar moves with the bytes too (see ProgressFigures).
    void Start(std::string label, std::uint64_t total, std::uint64_t totalBytes = 0);
    void Update(std::uint64_t done);
    // Bytes done so far; a smaller count than the last one is ignored.
    void UpdateBytes(std::uint64_t bytesDone);
    // Removes the bar from its line (before other output, and at the end).
    void Clear();

private:
    void Draw();
    bool Due(std::chrono::steady_clock::time_point now) const;
    std::FILE* file_;
    bool enabled_;
    bool shown_ = false;
    std::string label_;
    ProgressCounts counts_;
    std::size_t width_ = 0;
    std::chrono::steady_clock::time_point start_{}, last_{};
};

bool IsTerminal(std::FILE* file);

}  // namespace qm::cli
