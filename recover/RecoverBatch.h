// Recovering many deleted files at once, with several threads writing.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/Extents.h"
#include "recover/RecoverRecord.h"

namespace qm {

struct RecoverJob {
    std::uint64_t position;   // byte position of the file's record on the volume
    std::string path;         // where its content goes
    std::u16string stream{};  // a named $DATA stream of the file; empty: its content
    // The content by its extents, for a row not read through a record (carved).
    std::shared_ptr<const DataExtents> content{};
};

struct RecoverBatchOptions {
    unsigned workers = 1;  // threads that recover files; 1 recovers on the calling thread
    const std::atomic<bool>* stop = nullptr;
    const MftMap* mft = nullptr;  // see RecoverRecord
    // EFS-encrypted files: write their content as it lies on the volume
    // (still encrypted) instead of giving them up.
    bool raw = false;
    // MD5 and SHA-256 of each file's content (see RecoverOptions::digests).
    bool digests = false;
    // Called on the calling thread, at most about ten times a second while
    // content is written, with the content bytes written so far by the files
    // whose results have not yet been handed to `done`. Their writers only add
    // to an atomic count per chunk.
    std::function<void(std::uint64_t)> progress;
    bool times = false;  // the files get their original times (RecoverOptions::times)
};

// Recovers `jobs` as RecoverRecord does, `options.workers` files at a time:
// creating and writing files costs the output file system more than reading
// them costs the source, and on some file systems that work spreads over
// cores (on ext4, creates in one folder mostly wait for each other: measured
// no faster with two workers than with one). Jobs that write the same
// path run one after the other in their order, so a later file of a name
// still replaces an earlier one. `done(k, result)` runs on the calling thread
// for every job, in job order, as results come in. Once `stop` is set, jobs
// not started yet end Cancelled without touching the output; files already
// being written are finished or abandoned as RecoverRecord does. Once a job
// ends SourceFailed the batch stops the same way: the jobs after it and those
// being written end Cancelled (or SourceFailed), none is written as zeros.
//
// Reads of `volume` are serialised: it need not be safe to read from several
// threads at once. `output` must be.
void RecoverBatch(RawVolume& volume, const VolumeGeometry& geometry,
                  const std::vector<RecoverJob>& jobs, OutputFactory& output,
                  const RecoverBatchOptions& options,
                  const std::function<void(std::size_t, const RecoverResult&)>& done);

}  // namespace qm
