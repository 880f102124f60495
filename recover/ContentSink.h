// The end of the content pipeline: an output file that keeps holes sparse and
// appears only when committed, and the file's fate as a RecoverResult.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "recover/ContentStream.h"
#include "recover/RecoverRecord.h"

namespace qm {

class ContentSink final : public ContentOut {
public:
    ContentSink(OutputFactory& output, std::string path)
        : output_(output), path_(std::move(path)) {}

    // Creates the (temporary) output file; false with Failed() set up when it cannot.
    bool Open();
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool Zeros(std::uint64_t count) override;
    // Volume bytes may go straight to the file inside the system as long as
    // nothing here needs to see them.
    bool TakesCopies() const override { return true; }
    std::uint64_t CopyFrom(RawVolume& volume, std::uint64_t volumeByte,
                           std::uint64_t count) override;
    std::uint64_t bytes() const { return bytes_; }

    // Commits the file: Written, or Damaged with `damage` and `reason`.
    RecoverResult Commit(std::vector<ByteRange> damage, const std::string& reason);
    // Gives the file up, with the output's error when it was the output that failed.
    RecoverResult Failed(RecoverStatus status, std::string detail = {});

private:
    OutputFactory& output_;
    std::string path_;
    std::unique_ptr<OutputFile> file_;
    std::string openError_;
    std::uint64_t bytes_ = 0;
};

}  // namespace qm
