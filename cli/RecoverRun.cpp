// One recovery run of quillmere-cli; see RecoverRun.h.
#include "cli/RecoverRun.h"

#include <algorithm>
#include <cstring>

namespace qm::cli {

std::string UnreadableText(const std::vector<ByteRange>& ranges) {
    std::string text = "unreadable bytes ";
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(ranges[i].offset) + "-" +
                std::to_string(ranges[i].offset + ranges[i].length - (ranges[i].length > 0));
    }
    return text;
}

void RecoverRun::Plan(const std::vector<Wanted>& wanted, const ScanSummary& summary,
                      PathPlanner& paths) {
    jobs_.reserve(wanted.size());
    for (const Wanted& w : wanted) {
        auto planned = paths.Plan(w, summary);
        if (!planned) {
            GivenUp(AskedText({w.row.position, Name8(w.row.stream)}) +
                    ": given up: " + planned.error().message);
            if (report_) report_->NotListed(w.row.position, planned.error().message);
            continue;
        }
        names_.push_back(std::move(planned->asked));
        jobs_.push_back(std::move(planned->job));
        sizes_.push_back(w.row.size);
        totalBytes_ += w.row.size;
        if (report_) report_->AddJob(w.row, summary);
    }
}

void RecoverRun::Run(RawVolume& volume, const VolumeGeometry& geometry, const MftMap* mft) {
    bar_.Start("recovering", jobs_.size(), totalBytes_);
    RecoverBatchOptions options;
    options.digests = report_ != nullptr;
    // Bytes of files still being written, on top of the files done.
    options.progress = [this](std::uint64_t inFlight) { bar_.UpdateBytes(doneBytes_ + inFlight); };
    options.workers = a_.jobs;
    options.stop = &g_stop;
    options.mft = mft;
    options.raw = a_.raw;
    options.times = a_.times;
    RecoverBatch(volume, geometry, jobs_, folder_, options,
                 [&](std::size_t k, const RecoverResult& r) { OnResult(k, r); });
    out_.Flush();
    bar_.Clear();
    if (out_.failed())
        Stop(EndCause::OutputFailed,
             std::string("cannot write the output: ") + std::strerror(out_.error()));
}

void RecoverRun::OnResult(std::size_t k, const RecoverResult& r) {
    const std::string position = PositionText(jobs_[k].position);
    std::string written;
    if (r.status == RecoverStatus::Cancelled) {
        ++notDone_;
    } else if (r.status == RecoverStatus::Written || r.status == RecoverStatus::Damaged) {
        written = OnWritten(k, r);
    } else {
        GivenUp(position + ": given up: " + GiveUpText(r));
    }
    if (report_) report_->Result(k, r, written);
    doneBytes_ += sizes_[k];
    bar_.UpdateBytes(doneBytes_);
    bar_.Update(k + 1);
    // Out of space, a folder that takes no files, a volume gone, an output
    // closed: the files left would fail the same way.
    if (r.status == RecoverStatus::SourceFailed)
        Stop(EndCause::SourceFailed, a_.source + ": the volume stopped answering");
    else if (r.status == RecoverStatus::OutputFailed && IsOutOfSpace(r.systemError))
        Stop(EndCause::OutOfSpace, a_.outDir + ": " + SystemErrorText(r.systemError));
    if (auto why = folder_.CreateFailure()) Stop(EndCause::FolderUnusable, *why);
    if (out_.failed())
        Stop(EndCause::OutputFailed,
             std::string("cannot write the output: ") + std::strerror(out_.error()));
}

// Prints the file's line; returns the path it was written to.
std::string RecoverRun::OnWritten(std::size_t k, const RecoverResult& r) {
    const std::string path = folder_.TakeCommitted(jobs_[k].path).value_or(jobs_[k].path);
    std::string notes;
    const std::size_t at = a_.outDir.size() + 1;
    if (path.substr(std::min(at, path.size())) != names_[k]) {
        ++renamed_;
        notes = names_[k] + " was taken";
    }
    if (a_.overwrite && !paths_.insert(path).second) ++replaced_;
    if (!r.note.empty()) notes += (notes.empty() ? "" : "; ") + r.note;
    if (r.status == RecoverStatus::Damaged) {
        ++damaged_;
        notes +=
            std::string(notes.empty() ? "" : "; ") + "damaged: " + UnreadableText(r.unreadable);
    } else {
        ++written_;
    }
    bytes_ += r.bytes;
    std::string& line = out_.text();
    AppendPosition(line, jobs_[k].position);
    line += "\t";
    AppendTsvField(line, path);
    line += "\t";
    AppendUnsigned(line, r.bytes);
    if (!notes.empty()) {
        line += "\t";
        AppendTsvField(line, notes);
    }
    line += "\n";
    out_.LineDone();
    return path;
}

int RecoverRun::Finish(std::int64_t unreadableRecords) {
    const bool flushed = folder_.Finish();
    msg_.Say(Plural(static_cast<std::int64_t>(written_), "file", "files") + " written, " +
             std::to_string(damaged_) + " damaged, " + std::to_string(givenUp_) + " given up, " +
             Plural(static_cast<std::int64_t>(bytes_), "byte", "bytes"));
    if (renamed_ > 0)
        msg_.Say(Plural(static_cast<std::int64_t>(renamed_), "name was", "names were") +
                 " taken: those files got a free name, \"name (1).ext\"; --overwrite replaces "
                 "instead");
    if (replaced_ > 0)
        msg_.Say(Plural(static_cast<std::int64_t>(replaced_), "file", "files") +
                 " replaced an earlier file of the same name; --by-number keeps every file");
    if (!flushed) {
        msg_.Say(a_.outDir +
                 ": the file system reported a write error while flushing; "
                 "the files written may be incomplete");
        return kExitFailed;
    }
    const std::string notDone =
        notDone_ > 0
            ? "; " + Plural(static_cast<std::int64_t>(notDone_), "file", "files") + " not recovered"
            : "";
    if (cause_ != EndCause::None) {
        msg_.Say("stopped: " + causeText_ + notDone);
        return kExitFailed;
    }
    if (notDone_ > 0 || g_stop.load(std::memory_order_relaxed)) {
        msg_.Say("stopped" + notDone);
        return kExitStopped;
    }
    return damaged_ > 0 || givenUp_ > 0 || unreadableRecords > 0 ? kExitPartial : kExitOk;
}

}  // namespace qm::cli
