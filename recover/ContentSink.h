// The end of the content pipeline: an output file that keeps holes sparse and
// appears only when committed, the content's fingerprints when asked for, and
// the file's fate as a RecoverResult.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "recover/ContentStream.h"
#include "recover/Md5.h"
#include "recover/RecoverRecord.h"
#include "recover/Sha256.h"

namespace qm {

struct SinkOptions {
    bool digests = false;                 // MD5 and SHA-256 of what is written
    ContentProgress* progress = nullptr;  // told of every chunk written
    // Times the committed file carries (none when empty); one that cannot be
    // set is a note of the result.
    FileTimes times;
};

class ContentSink final : public ContentOut {
public:
    ContentSink(OutputFactory& output, std::string path, SinkOptions options = {});

    // Creates the (temporary) output file; false with Failed() set up when it cannot.
    bool Open();
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool Zeros(std::uint64_t count) override;
    // Volume bytes may go straight to the file inside the system as long as
    // nothing here needs to see them.
    bool TakesCopies() const override { return !NeedsBytes(); }
    std::uint64_t CopyFrom(RawVolume& volume, std::uint64_t volumeByte,
                           std::uint64_t count) override;
    std::uint64_t bytes() const { return bytes_; }
    // True when every byte of the content must pass through Write and Zeros
    // (they are hashed): a copy that moves bytes past them, in the kernel from
    // file to file, must not be used then.
    bool NeedsBytes() const { return hashes_.has_value(); }

    // Commits the file: Written, or Damaged with `damage` and `reason`.
    RecoverResult Commit(std::vector<ByteRange> damage, const std::string& reason);
    // Gives the file up, with the output's error when it was the output that failed.
    RecoverResult Failed(RecoverStatus status, std::string detail = {});

private:
    struct Hashes {
        Md5 md5;
        Sha256 sha256;
    };

    void Wrote(std::uint64_t count) {
        bytes_ += count;
        if (progress_) progress_->Advance(count);
    }

    OutputFactory& output_;
    std::string path_;
    std::unique_ptr<OutputFile> file_;
    std::string openError_;
    std::uint64_t bytes_ = 0;
    std::optional<Hashes> hashes_;
    ContentProgress* progress_;
    FileTimes times_;
};

}  // namespace qm
