#include "recover/ContentSink.h"

#include <algorithm>

namespace qm {

ContentSink::ContentSink(OutputFactory& output, std::string path, SinkOptions options)
    : output_(output), path_(std::move(path)), progress_(options.progress), times_(options.times) {
    if (options.digests) hashes_.emplace();
}

bool ContentSink::Open() {
    auto file = output_.Create(path_);
    if (!file) {
        openError_ = file.error().ToString();
        return false;
    }
    file_ = std::move(file).value();
    if (times_.Any()) file_->KeepTimes(times_);
    return true;
}

bool ContentSink::Write(std::span<const std::uint8_t> bytes) {
    if (!file_->Write(bytes)) return false;
    if (hashes_) {
        hashes_->md5.Update(bytes);
        hashes_->sha256.Update(bytes);
    }
    Wrote(bytes.size());
    return true;
}

std::uint64_t ContentSink::CopyFrom(RawVolume& volume, std::uint64_t volumeByte,
                                    std::uint64_t count) {
    const std::uint64_t n = std::min(file_->CopyFrom(volume, volumeByte, count), count);
    bytes_ += n;
    if (progress_ && n > 0) progress_->Advance(n);
    return n;
}

bool ContentSink::Zeros(std::uint64_t count) {
    if (count == 0) return true;
    if (!file_->WriteZeros(count)) return false;
    if (hashes_) {
        hashes_->md5.UpdateZeros(count);
        hashes_->sha256.UpdateZeros(count);
    }
    Wrote(count);
    return true;
}

RecoverResult ContentSink::Commit(std::vector<ByteRange> damage, const std::string& reason) {
    if (!file_->Commit()) return Failed(RecoverStatus::OutputFailed);
    const int timesError = file_->TimesError();
    file_.reset();
    RecoverResult r;
    if (timesError != 0) r.note = "times not set: " + SystemErrorText(timesError);
    r.bytes = bytes_;
    if (!damage.empty()) {
        r.status = RecoverStatus::Damaged;
        r.detail = reason;
        r.unreadable = std::move(damage);
    }
    if (hashes_) r.digests = ContentDigests{hashes_->md5.Final(), hashes_->sha256.Final()};
    return r;
}

RecoverResult ContentSink::Failed(RecoverStatus status, std::string detail) {
    RecoverResult r;
    r.status = status;
    if (status == RecoverStatus::OutputFailed) {
        r.systemError = file_ ? file_->LastError() : 0;
        // The system's reason travels in systemError; callers add its text.
        r.detail = !openError_.empty() ? openError_ : path_;
    } else {
        r.detail = std::move(detail);
    }
    file_.reset();  // the temporary goes, an existing file stays
    return r;
}

}  // namespace qm
