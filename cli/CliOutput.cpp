#include "cli/CliOutput.h"

#include <algorithm>
#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qm::cli {
namespace {

// Tried before giving a file up: "name (1).ext" to "name (9999).ext".
constexpr unsigned kMaxNumber = 9999;

int NameTakenError() {
#ifdef _WIN32
    return ERROR_FILE_EXISTS;
#else
    return EEXIST;
#endif
}

}  // namespace

class FolderOutput::File final : public OutputFile {
public:
    File(FolderOutput& owner, std::unique_ptr<OutputFile> inner, std::string path)
        : owner_(owner), inner_(std::move(inner)), path_(std::move(path)) {}
    bool Write(std::span<const std::uint8_t> bytes) override { return inner_->Write(bytes); }
    bool WriteZeros(std::uint64_t count) override { return inner_->WriteZeros(count); }
    std::uint64_t CopyFrom(RawVolume& source, std::uint64_t offset, std::uint64_t count) override {
        return inner_->CopyFrom(source, offset, count);
    }
    int LastError() const override { return error_ != 0 ? error_ : inner_->LastError(); }
    void KeepTimes(const FileTimes& times) override { inner_->KeepTimes(times); }
    int TimesError() const override { return inner_->TimesError(); }
    CommitOutcome CommitNew(const std::string& path) override { return inner_->CommitNew(path); }

    bool Commit() override {
        if (owner_.replace_) {
            if (!inner_->Commit()) return false;
            owner_.Committed(path_, path_);
            return true;
        }
        // Only the file's own name is numbered, not the folders it lies in.
        const std::size_t at =
            std::max(owner_.folder_.size() + 1, FileNameStart(path_, owner_.text_));
        const std::string name = path_.size() > at ? path_.substr(at) : std::string();
        std::string tried = path_;
        for (unsigned n = 1;; ++n) {
            switch (inner_->CommitNew(tried)) {
                case CommitOutcome::Committed:
                    owner_.Committed(path_, tried);
                    return true;
                case CommitOutcome::Failed:
                    return false;
                case CommitOutcome::NameTaken:
                    break;
            }
            if (n > kMaxNumber) {
                error_ = NameTakenError();
                return false;
            }
            std::string next =
                path_.substr(0, at) + NumberedName(name, n, owner_.limit_, owner_.text_);
            if (next == tried)
                next = path_.substr(0, at) + NumberedName(name, ++n, owner_.limit_, owner_.text_);
            tried = std::move(next);
        }
    }

private:
    FolderOutput& owner_;
    std::unique_ptr<OutputFile> inner_;
    const std::string path_;
    int error_ = 0;
};

FolderOutput::FolderOutput(OutputFactory& inner, std::string folder, bool replace, NameText text)
    : inner_(inner),
      folder_(std::move(folder)),
      replace_(replace),
      text_(text),
      limit_(NameLimit(folder_)) {}

ErrorOr<std::unique_ptr<OutputFile>> FolderOutput::Create(const std::string& finalPath) {
    auto file = inner_.Create(finalPath);
    if (!file) {
        std::lock_guard lock(mutex_);
        if (!createFailure_) createFailure_ = file.error().message;
        return file.take_error();
    }
    return std::unique_ptr<OutputFile>(
        std::make_unique<File>(*this, std::move(file).value(), finalPath));
}

std::optional<std::string> FolderOutput::TakeCommitted(const std::string& finalPath) {
    std::lock_guard lock(mutex_);
    auto it = committed_.find(finalPath);
    if (it == committed_.end()) return std::nullopt;
    std::string path = std::move(it->second);
    committed_.erase(it);
    return path;
}

std::optional<std::string> FolderOutput::CreateFailure() const {
    std::lock_guard lock(mutex_);
    return createFailure_;
}

void FolderOutput::Committed(const std::string& asked, const std::string& path) {
    std::lock_guard lock(mutex_);
    committed_[asked] = path;
}

}  // namespace qm::cli
