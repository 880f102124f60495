// The command line's output files: by default no file already in the output
// folder is replaced, a taken name gets the first free "name (N).ext"; and
// whether the folder took files at all.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "recover/OutputName.h"

namespace qm::cli {

class FolderOutput final : public OutputFactory {
public:
    // Files go into `folder` (paths are folder + separator + name). With
    // `replace` a file takes its name even when a file has it.
    FolderOutput(OutputFactory& inner, std::string folder, bool replace, NameText text);

    ErrorOr<std::unique_ptr<OutputFile>> Create(const std::string& finalPath) override;
    bool Finish() override { return inner_.Finish(); }

    // The path the file created for `finalPath` was committed under, handed
    // out once; nullopt when it was not committed.
    std::optional<std::string> TakeCommitted(const std::string& finalPath);
    // A file could not even be created: the folder takes no files (no space,
    // no permission, gone). The first reason, or nullopt.
    std::optional<std::string> CreateFailure() const;

private:
    class File;
    void Committed(const std::string& asked, const std::string& path);

    OutputFactory& inner_;
    const std::string folder_;
    const bool replace_;
    const NameText text_;
    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> committed_;  // asked -> committed under
    std::optional<std::string> createFailure_;
};

}  // namespace qm::cli
