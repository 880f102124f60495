// What the commands share; see CliCommon.h.
#include "cli/CliCommon.h"

#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ntfs/Sources.h"

namespace qm::cli {

std::atomic<bool> g_stop{false};

namespace {

OutputFactory* g_output = nullptr;  // the real files when null
std::function<bool(const std::string&, const std::string&)> g_folderIsOnSource;

// "IMG@abc", "IMG@-1": no such file, but IMG is one and what follows '@' is no offset.
bool HasBadOffset(const std::string& source) {
    const std::size_t at = source.rfind('@');
    if (at == std::string::npos || at == 0 || ParseSourceSpec(source).offset) return false;
    std::error_code ec;
    return std::filesystem::exists(source.substr(0, at), ec);
}

// The NTFS partition numbered `number` of the disk image SOURCE.
std::variant<OpenSource, int> ResolvePartition(const std::string& source, unsigned number,
                                               Messages& msg) {
    for (const SourceInfo& p : ExpandImage(source)) {
        if (p.partition != number) continue;
        auto part = OpenRawVolume(p.source);
        if (!part) {
            msg.Say(OpenProblem(p.source, part.error()));
            return kExitFailed;
        }
        return OpenSource{std::move(part).value(), p.source};
    }
    msg.Say(source + ": no NTFS partition numbered " + std::to_string(number) + " (sources " +
            source + " lists them)");
    return kExitFailed;
}

}  // namespace

OutputFactory& OutputFiles() {
    return g_output ? *g_output : DefaultOutputFactory();
}

bool FolderIsOnSourceChecked(const std::string& folder, const std::string& source) {
    if (g_folderIsOnSource) return g_folderIsOnSource(folder, source);
    return FolderIsOnSource(folder, source);
}

void AppendControlEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
}

std::string OpenProblem(const std::string& source, const Error& e) {
    switch (e.code) {
        case ErrorCode::NotFound:
            if (HasBadOffset(source))
                return source + ": bad offset (IMAGE@OFFSET takes a number of bytes, as " +
                       "sources prints it)";
            return source + ": no such file or device";
        case ErrorCode::PermissionDenied:
            return source + ": permission denied (reading a raw device needs root)";
        default:
            break;
    }
    const std::string path = ParseSourceSpec(source).path;
    std::string why = e.message;
    if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
    return source + ": cannot open: " + why;
}

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::variant<OpenSource, int> Resolve(const std::string& source, Messages& msg,
                                      unsigned partition) {
    auto opened = OpenRawVolume(source);
    if (!opened) {
        msg.Say(OpenProblem(source, opened.error()));
        return kExitFailed;
    }
    OpenSource s{std::move(opened).value(), source};
    if (partition != 0) return ResolvePartition(source, partition, msg);
    if (LooksLikeNtfs(*s.volume)) return s;

    auto parts = ExpandImage(source);
    // A volume read through its backup boot sector is the image itself.
    if (parts.size() == 1 && parts[0].partition == 0) return s;
    if (parts.size() > 1) {
        msg.Say(source + " holds " + std::to_string(parts.size()) +
                " NTFS partitions; name one of them as SOURCE, or pick one with --partition N:");
        for (const SourceInfo& p : parts) {
            std::string line = "  ";
            AppendTsvField(line, p.source);
            line += "\t" + std::to_string(p.size) + "\t";
            AppendTsvField(line, p.label);
            line += "\t" + std::to_string(p.partition) + "\n";
            std::fputs(line.c_str(), msg.file());
        }
        return kExitUsage;
    }
    if (parts.size() == 1) {
        auto part = OpenRawVolume(parts[0].source);
        if (!part) {
            msg.Say(OpenProblem(parts[0].source, part.error()));
            return kExitFailed;
        }
        msg.Say(source + ": reading its NTFS partition " + parts[0].source);
        return OpenSource{std::move(part).value(), parts[0].source};
    }
    if (!ReadPartitionTable(*s.volume).empty()) {
        msg.Say(source + ": not an NTFS volume, and its partition table lists no NTFS partition");
        return kExitFailed;
    }
    return s;  // no partition table either: the set-up says why it is not NTFS
}

std::optional<int> ReportScanEnd(const ScanSummary& s, const ScanRunner& runner,
                                 const std::string& source, Messages& msg) {
    // Which backup copies stood in for a damaged boot sector or MFT record 0.
    for (const std::string& note : s.setup.notes) msg.Say(source + ": " + note);
    if (s.setup.stop != SetupStop::None) {
        msg.Say(source + ": " +
                (s.setup.reason.empty() ? "the MFT cannot be read" : s.setup.reason));
        return kExitFailed;
    }
    if (s.unreadable > 0)
        msg.Say(source + ": " + Plural(s.unreadable, "record", "records") + " could not be read");
    if (s.stopped) {
        msg.Say("stopped after " + std::to_string(s.recordsWalked) + " of " +
                std::to_string(runner.total()) + " records");
        return kExitStopped;
    }
    return std::nullopt;
}

int OutputFailed(const OutputBuffer& out, Messages& msg) {
    if (!out.failed()) return kExitOk;
    msg.Say(std::string("cannot write the output: ") + std::strerror(out.error()));
    return kExitFailed;
}

// --partition N (or --partition=N) at args[i], for `command`: nullopt when
// args[i] is another option, else an empty message or what is wrong with it.
std::optional<std::string> TakePartition(const std::vector<std::string>& args, std::size_t& i,
                                         const std::string& command, unsigned& partition) {
    const std::string& s = args[i];
    std::string n;
    if (s == "--partition") {
        if (i + 1 >= args.size()) return command + ": --partition needs a number";
        n = args[++i];
    } else if (s.rfind("--partition=", 0) == 0) {
        n = s.substr(12);
    } else {
        return std::nullopt;
    }
    const auto r = std::from_chars(n.data(), n.data() + n.size(), partition);
    if (r.ec != std::errc() || r.ptr != n.data() + n.size() || partition == 0)
        return command + ": --partition takes a partition number (1 on), not " + n;
    return std::string();
}

void RequestStop() {
    g_stop.store(true, std::memory_order_relaxed);
}

void SetFolderIsOnSourceForTesting(std::function<bool(const std::string&, const std::string&)> fn) {
    g_folderIsOnSource = std::move(fn);
}

void SetOutputForTesting(OutputFactory* output) {
    g_output = output;
}

}  // namespace qm::cli
