// Output factories for tests: one that keeps files in memory, and one that
// wraps another and fails like a full, read-only or vanishing disk would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/RawVolume.h"

namespace qm::testing {

// The system's codes for the faults injected below.
#ifdef _WIN32
constexpr int kInjectedNoSpace = 112;   // ERROR_DISK_FULL
constexpr int kInjectedTooLarge = 223;  // ERROR_FILE_TOO_LARGE
constexpr int kInjectedIoError = 1117;  // ERROR_IO_DEVICE
#else
constexpr int kInjectedNoSpace = 28;   // ENOSPC
constexpr int kInjectedTooLarge = 27;  // EFBIG
constexpr int kInjectedIoError = 5;    // EIO
#endif

// Files in memory. A file shows up in Files() only once committed; until then,
// and for ever if it is dropped uncommitted, the final path keeps what it had.
class MemoryOutputFactory final : public OutputFactory {
public:
    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override {
        std::lock_guard lock(state_->mu);
        ++state_->open;
        return std::unique_ptr<OutputFile>(std::make_unique<MemoryFile>(state_, finalPath));
    }
    std::map<std::string, std::vector<std::uint8_t>> Files() const {
        std::lock_guard lock(state_->mu);
        return state_->files;
    }
    std::optional<std::vector<std::uint8_t>> File(const std::string& path) const {
        std::lock_guard lock(state_->mu);
        auto it = state_->files.find(path);
        if (it == state_->files.end()) return std::nullopt;
        return it->second;
    }
    // Files created and neither committed nor dropped yet.
    int OpenFiles() const {
        std::lock_guard lock(state_->mu);
        return state_->open;
    }
    // Files take copies from the volume (CopyFrom), of at most `perCall` bytes
    // a call, as far as the volume delivers them; 0: they take none.
    void TakeCopies(std::uint64_t perCall) {
        std::lock_guard lock(state_->mu);
        state_->copyPerCall = perCall;
    }
    // Bytes the files took by copies.
    std::uint64_t CopiedBytes() const {
        std::lock_guard lock(state_->mu);
        return state_->copied;
    }

private:
    struct State {
        mutable std::mutex mu;
        std::map<std::string, std::vector<std::uint8_t>> files;
        int open = 0;
        std::uint64_t copyPerCall = 0, copied = 0;
    };
    class MemoryFile final : public OutputFile {
    public:
        MemoryFile(std::shared_ptr<State> state, std::string path)
            : state_(std::move(state)), path_(std::move(path)) {}
        ~MemoryFile() override {
            std::lock_guard lock(state_->mu);
            if (!done_) --state_->open;
        }
        bool Write(std::span<const std::uint8_t> bytes) override {
            if (done_) return false;
            bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
            return true;
        }
        // Like a copy inside the system that stops at the first byte not delivered.
        std::uint64_t CopyFrom(RawVolume& source, std::uint64_t offset,
                               std::uint64_t count) override {
            std::uint64_t perCall;
            {
                std::lock_guard lock(state_->mu);
                perCall = state_->copyPerCall;
            }
            if (done_ || perCall == 0) return 0;
            std::vector<std::uint8_t> buf(static_cast<std::size_t>(std::min(count, perCall)));
            const std::size_t got = source.ReadAt(offset, buf);
            bytes_.insert(bytes_.end(), buf.begin(),
                          buf.begin() + static_cast<std::ptrdiff_t>(got));
            std::lock_guard lock(state_->mu);
            state_->copied += got;
            return got;
        }
        bool WriteZeros(std::uint64_t count) override {
            if (done_ || count > (std::uint64_t{1} << 32)) return false;  // memory, not disk
            bytes_.resize(bytes_.size() + static_cast<std::size_t>(count), 0);
            return true;
        }
        bool Commit() override {
            if (done_) return true;
            std::lock_guard lock(state_->mu);
            state_->files[path_] = std::move(bytes_);
            --state_->open;
            done_ = true;
            return true;
        }
        CommitOutcome CommitNew(const std::string& path) override {
            if (done_) return CommitOutcome::Committed;
            std::lock_guard lock(state_->mu);
            if (state_->files.count(path)) return CommitOutcome::NameTaken;
            state_->files[path] = std::move(bytes_);
            --state_->open;
            done_ = true;
            return CommitOutcome::Committed;
        }

    private:
        std::shared_ptr<State> state_;
        std::string path_;
        std::vector<std::uint8_t> bytes_;
        bool done_ = false;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Wraps another factory (real files by default) and injects faults into the
// files it creates. Faults apply to every file, or only to those whose final
// path `Only` accepts.
class FaultyOutputFactory final : public OutputFactory {
public:
    explicit FaultyOutputFactory(OutputFactory& inner = DefaultOutputFactory()) : inner_(inner) {}

    // Create fails (a folder that is missing or read-only).
    FaultyOutputFactory& FailCreate(bool on = true) {
        return Set([&] { state_->failCreate = on; });
    }
    // Each file holds at most `bytes` bytes (written and skipped zeros alike): a
    // write that would go past it writes what fits and fails (a file too large).
    FaultyOutputFactory& FailAfterBytes(std::uint64_t bytes) {
        return Set([&] { state_->fileLimit = bytes; });
    }
    // All files together may write `bytes` bytes (zeros skipped with WriteZeros
    // take no space); past that a write fails after writing what fits, like a
    // full disk. A file dropped uncommitted gives its space back.
    FaultyOutputFactory& DiskSpace(std::uint64_t bytes) {
        return Set([&] { state_->space = bytes; });
    }
    // Commit fails (the rename or the final flush fails).
    FaultyOutputFactory& FailCommit(bool on = true) {
        return Set([&] { state_->failCommit = on; });
    }
    FaultyOutputFactory& Only(std::function<bool(const std::string&)> accepts) {
        return Set([&] { state_->accepts = std::move(accepts); });
    }

    int Creates() const {
        return Get([&] { return state_->creates; });
    }
    int Commits() const {
        return Get([&] { return state_->commits; });
    }
    // Operations that failed because of an injected fault.
    int InjectedFailures() const {
        return Get([&] { return state_->injected; });
    }

    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override {
        bool faulty;
        {
            std::lock_guard lock(state_->mu);
            faulty = !state_->accepts || state_->accepts(finalPath);
            if (faulty && state_->failCreate) {
                ++state_->injected;
                return Error::Make(ErrorCode::PermissionDenied,
                                   finalPath + ": injected create failure");
            }
        }
        auto inner = inner_.Create(finalPath);
        if (!inner) return inner.take_error();
        std::lock_guard lock(state_->mu);
        ++state_->creates;
        return std::unique_ptr<OutputFile>(
            std::make_unique<FaultyFile>(state_, std::move(inner).value(), faulty));
    }

private:
    struct State {
        mutable std::mutex mu;
        bool failCreate = false, failCommit = false;
        std::optional<std::uint64_t> fileLimit, space;
        std::uint64_t spaceUsed = 0;
        std::function<bool(const std::string&)> accepts;
        int creates = 0, commits = 0, injected = 0;
    };

    class FaultyFile final : public OutputFile {
    public:
        FaultyFile(std::shared_ptr<State> state, std::unique_ptr<OutputFile> inner, bool faulty)
            : state_(std::move(state)), inner_(std::move(inner)), faulty_(faulty) {}
        ~FaultyFile() override {
            std::lock_guard lock(state_->mu);
            if (!committed_) state_->spaceUsed -= std::min(state_->spaceUsed, written_);
        }
        // Like a real file, one that failed a write never commits. The
        // injected faults carry the codes a real system gives for them.
        bool Write(std::span<const std::uint8_t> bytes) override {
            if (failed_) return false;
            std::uint64_t fits = bytes.size();
            int code = 0;
            {
                std::lock_guard lock(state_->mu);
                if (faulty_ && state_->fileLimit) {
                    fits = std::min<std::uint64_t>(
                        fits, *state_->fileLimit - std::min(*state_->fileLimit, size_));
                    if (fits < bytes.size()) code = kInjectedTooLarge;
                }
                if (faulty_ && state_->space) {
                    const std::uint64_t room =
                        *state_->space - std::min(*state_->space, state_->spaceUsed);
                    if (room < fits) code = kInjectedNoSpace;
                    fits = std::min<std::uint64_t>(fits, room);
                }
                if (faulty_) state_->spaceUsed += fits;
                if (fits < bytes.size()) ++state_->injected;
            }
            if (faulty_) written_ += fits;
            size_ += fits;
            const bool ok = inner_->Write(bytes.first(static_cast<std::size_t>(fits)));
            failed_ = !ok || fits != bytes.size();
            if (failed_) error_ = ok ? code : inner_->LastError();
            return !failed_;
        }
        bool WriteZeros(std::uint64_t count) override {
            if (failed_) return false;
            {
                std::lock_guard lock(state_->mu);
                if (faulty_ && state_->fileLimit &&
                    count > *state_->fileLimit - std::min(*state_->fileLimit, size_)) {
                    ++state_->injected;
                    failed_ = true;
                    error_ = kInjectedTooLarge;
                    return false;
                }
            }
            size_ += count;
            failed_ = !inner_->WriteZeros(count);
            if (failed_) error_ = inner_->LastError();
            return !failed_;
        }
        bool Commit() override {
            if (committed_) return true;
            if (failed_ || InjectCommitFault()) return false;
            if (!inner_->Commit()) {
                error_ = inner_->LastError();
                return false;
            }
            Committed();
            return true;
        }
        CommitOutcome CommitNew(const std::string& path) override {
            if (committed_) return CommitOutcome::Committed;
            if (failed_ || InjectCommitFault()) return CommitOutcome::Failed;
            const CommitOutcome o = inner_->CommitNew(path);
            if (o == CommitOutcome::Failed) error_ = inner_->LastError();
            if (o == CommitOutcome::Committed) Committed();
            return o;
        }
        int LastError() const override { return error_; }

    private:
        bool InjectCommitFault() {
            std::lock_guard lock(state_->mu);
            if (!faulty_ || !state_->failCommit) return false;
            ++state_->injected;
            error_ = kInjectedIoError;
            return true;
        }
        void Committed() {
            std::lock_guard lock(state_->mu);
            ++state_->commits;
            committed_ = true;
        }

        std::shared_ptr<State> state_;
        std::unique_ptr<OutputFile> inner_;
        bool faulty_;
        int error_ = 0;
        std::uint64_t written_ = 0, size_ = 0;
        bool failed_ = false;
        bool committed_ = false;
    };

    template <typename F>
    FaultyOutputFactory& Set(F f) {
        std::lock_guard lock(state_->mu);
        f();
        return *this;
    }
    template <typename F>
    int Get(F f) const {
        std::lock_guard lock(state_->mu);
        return f();
    }

    OutputFactory& inner_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace qm::testing
