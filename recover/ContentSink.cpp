#include "recover/ContentSink.h"

#include <algorithm>

namespace qm {

bool ContentSink::Open() {
    auto file = output_.Create(path_);
    if (!file) {
        openError_ = file.error().ToString();
        return false;
    }
    file_ = std::move(file).value();
    return true;
}

bool ContentSink::Write(std::span<const std::uint8_t> bytes) {
    if (!file_->Write(bytes)) return false;
    bytes_ += bytes.size();
    return true;
}

std::uint64_t ContentSink::CopyFrom(RawVolume& volume, std::uint64_t volumeByte,
                                    std::uint64_t count) {
    const std::uint64_t n = std::min(file_->CopyFrom(volume, volumeByte, count), count);
    bytes_ += n;
    return n;
}

bool ContentSink::Zeros(std::uint64_t count) {
    if (count == 0) return true;
    if (!file_->WriteZeros(count)) return false;
    bytes_ += count;
    return true;
}

RecoverResult ContentSink::Commit(std::vector<ByteRange> damage, const std::string& reason) {
    if (!file_->Commit()) return Failed(RecoverStatus::OutputFailed);
    file_.reset();
    RecoverResult r;
    r.bytes = bytes_;
    if (!damage.empty()) {
        r.status = RecoverStatus::Damaged;
        r.detail = reason;
        r.unreadable = std::move(damage);
    }
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
