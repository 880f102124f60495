// The commands of quillmere-cli: sources, scan, recover.
//
// Conventions of the output:
// - Normal output goes to stdout; messages, the progress bar and the closing
//   counts go to stderr, each message prefixed "quillmere-cli: ".
// - scan prints a TSV header and one line per deleted file, or with --json one
//   JSON object per line. Times are UTC; a time the calendar cannot show (a
//   FILETIME of 2^63 or more) is an empty field in TSV and null in JSON.
// - scan ends with "N records could not be read" on stderr when the volume
//   failed to deliver some MFT records; a healthy volume adds nothing to stderr.
// - recover prints "position<TAB>path<TAB>bytes" per file written, with a
//   fourth field of notes when the file's name was taken ("NAME was taken"),
//   its original times could not be set ("times not set: ...") or parts of it
//   could not be read ("damaged: unreadable bytes 0-4095, ..."), and ends
//   with "N files written, N damaged, N given up, B bytes" on stderr. No file
//   already in the folder is replaced: a taken name, or one used twice in the
//   run, gets the first free "name (N).ext" (--overwrite replaces instead).
//   Given-up records (and positions the scan did not list) are named on
//   stderr with the system's reason, counted, and make the run partial.
// - A full disk, a folder that takes no files, a volume that stops answering
//   or a closed stdout stop the recovery at once; files being written are
//   abandoned, their temporary files removed.
#include "cli/Cli.h"

#include "cli/CliCommon.h"
#include "cli/Help.h"

namespace qm::cli {

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Messages msg(err);
    g_stop.store(false);
    if (args.empty()) return msg.Usage("");
    const std::string& cmd = args[0];
    if (cmd == "--version" || cmd == "-V") {
        std::fputs(VersionText().c_str(), out);
        return kExitOk;
    }
    if (cmd == "help") {
        if (args.size() == 1) {
            std::fputs(GlobalHelp().c_str(), out);
            return kExitOk;
        }
        auto text = CommandHelp(args[1]);
        if (!text) return msg.Usage("help: unknown command " + args[1]);
        std::fputs(text->c_str(), out);
        return kExitOk;
    }
    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            auto text = CommandHelp(cmd);
            std::fputs(text ? text->c_str() : GlobalHelp().c_str(), out);
            return kExitOk;
        }
    }
    if (cmd == "sources") {
        std::vector<std::string> images;
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--") continue;
            if (!args[i].empty() && args[i][0] == '-' && args[i] != "-")
                return msg.Usage("sources: unknown option " + args[i]);
            images.push_back(args[i]);
        }
        return Sources(images, out, msg);
    }
    if (cmd == "scan") return ParseScan(args, out, msg);
    if (cmd == "recover") return ParseRecover(args, out, msg);
    if (!cmd.empty() && cmd[0] == '-') return msg.Usage("unknown option " + cmd);
    return msg.Usage("unknown command " + cmd);
}

}  // namespace qm::cli
