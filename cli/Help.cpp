// Help texts of quillmere-cli. Each command's text lists its options and shows
// examples; the exit statuses are listed once and shared with the man page.
#include "cli/Help.h"

#include "platform/images/ImageVolume.h"
#include "scan/Filter.h"

#ifndef QM_VERSION
#define QM_VERSION "dev"
#endif

namespace qm::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmere-cli sources [IMAGE...]\n"
    "       quillmere-cli scan SOURCE [--partition N] [--format FORMAT] [--json]\n"
    "                     [--streams] [FILTER...]\n"
    "       quillmere-cli recover SOURCE [--partition N] --out DIR [--by-number]\n"
    "                     [--allow-same-volume] [--overwrite] [--raw] [--jobs N]\n"
    "                     [--keep-paths] [--streams] [--no-times] [--report FILE]\n"
    "                     (--all | POSITION... | FILTER...)\n"
    "       quillmere-cli help [COMMAND]\n"
    "       quillmere-cli --help | --version\n";

constexpr const char* kSource =
    "SOURCE is a device (/dev/sdb1; reading one needs root), an image of a volume\n"
    "or of a whole disk (raw, split raw NAME.001... or NAME.aa..., E01, VHD, VHDX,\n"
    "VMDK, QCOW2, as this build reads them: see --version), or IMAGE@OFFSET for the\n"
    "partition that starts OFFSET bytes into a disk image.\n";

// Exit statuses, the same for every command.
constexpr const char* kExitStatus =
    "Exit status:\n"
    "  0    everything asked for was listed, or written whole\n"
    "  1    the source or the output folder cannot be used: not found, not NTFS,\n"
    "       no space left, the volume stopped answering, stdout closed\n"
    "  2    bad arguments, or a disk with several NTFS partitions and none chosen\n"
    "  3    partial: files damaged or given up, positions the scan does not\n"
    "       list, or MFT records that could not be read\n"
    "  130  interrupted\n";

constexpr const char* kOverview =
    "\n"
    "Finds deleted files on an NTFS volume and writes their contents out.\n"
    "\n"
    "Commands:\n"
    "  sources    the NTFS devices of this machine and the NTFS volumes in the\n"
    "             given images\n"
    "  scan       the deleted files of SOURCE, one per line in record order\n"
    "  recover    writes the files of a fresh scan into a folder\n"
    "  help       the help of one command (also COMMAND --help)\n"
    "\n";

constexpr const char* kSourcesHelp =
    "usage: quillmere-cli sources [IMAGE...]\n"
    "\n"
    "Lists the NTFS devices of this machine, then the NTFS volumes in the given\n"
    "images: the image itself when it holds one volume, or each NTFS partition of\n"
    "a disk image (MBR with its logical partitions, or GPT). One line per source,\n"
    "tab-separated: source (what scan and recover take), size in bytes, label,\n"
    "partition number and first byte (both empty for a device or a volume image).\n"
    "\n"
    "Examples:\n"
    "  quillmere-cli sources\n"
    "  quillmere-cli sources disk.img evidence.E01\n";

constexpr const char* kScanHelp =
    "usage: quillmere-cli scan SOURCE [--partition N] [--format FORMAT] [--json]\n"
    "                     [--streams] [FILTER...]\n"
    "\n"
    "Lists the deleted files and folders of SOURCE in record order. The default\n"
    "form is tab-separated with a header: position, record, name, type, size,\n"
    "created, modified (UTC), path (the original one; $Orphan/ when the folder is\n"
    "gone or reused), recoverable (the share of the clusters still free, %) and\n"
    "flags (compressed, encrypted, sparse, resident, orphan, overwritten (N %)),\n"
    "source (where the row was found: mft, lost-record, index, journal, carved,\n"
    "snapshot N).\n"
    "Counts of records that could not be read go to stderr.\n"
    "\n"
    "Options:\n"
    "  --partition N     the NTFS partition numbered N of a disk image (sources\n"
    "                    lists the numbers)\n"
    "  --format FORMAT   tsv (the default), csv (RFC 4180, the same columns),\n"
    "                    json (one document: an array of objects), jsonl (one JSON\n"
    "                    object per line), bodyfile (The Sleuth Kit's body format,\n"
    "                    for mactime: $STANDARD_INFORMATION and $FILE_NAME times)\n"
    "  --json            the same as --format jsonl\n"
    "  --streams         also list each file's named streams as name:stream rows\n"
    "                    (json and jsonl always list them)\n"
    "\n"
    "Filters (all given must match):\n"
    "  --name GLOB       the file name, * and ? as wildcards, case-insensitive\n"
    "  --path GLOB       the original path with the name ('/Photos/*')\n"
    "  --ext LIST        one of these extensions (jpg,png)\n"
    "  --min-size SIZE, --max-size SIZE\n"
    "                    at least, at most SIZE bytes (10K, 2M, 1G)\n"
    "  --modified-after DATE, --modified-before DATE\n"
    "                    last modified at or after, before DATE (2024-03-01 or\n"
    "                    2024-03-01T12:30, UTC)\n"
    "  --recoverable PCT at least PCT % of the clusters still free\n"
    "  --no-orphans      leave out files whose folder is gone or reused\n"
    "                    (--include-orphans, the default, keeps them)\n"
    "\n"
    "Examples:\n"
    "  quillmere-cli scan volume.img\n"
    "  quillmere-cli scan disk.img --partition 2 --format csv > deleted.csv\n"
    "  quillmere-cli scan evidence.E01 --format bodyfile > body && mactime -b body\n"
    "  quillmere-cli scan volume.img --ext jpg,png --min-size 10K --no-orphans\n";

constexpr const char* kRecoverHelp =
    "usage: quillmere-cli recover SOURCE [--partition N] --out DIR [--by-number]\n"
    "                     [--allow-same-volume] [--overwrite] [--raw] [--jobs N]\n"
    "                     [--keep-paths] [--streams] [--no-times] [--report FILE]\n"
    "                     (--all | POSITION... | FILTER...)\n"
    "\n"
    "Scans SOURCE afresh and writes the chosen deleted files into DIR (created if\n"
    "missing). Prints position, path and bytes per file written (a fourth field\n"
    "says when the name was taken and a free one used, or that the file is damaged\n"
    "and which bytes could not be read, written as zeros); files given up are named\n"
    "on stderr with the reason, and counted. On a terminal, stderr shows the\n"
    "progress in files and bytes, and the time left.\n"
    "\n"
    "Options:\n"
    "  --partition N        the NTFS partition numbered N of a disk image (sources\n"
    "                       lists the numbers)\n"
    "  --out DIR            the output folder (not on the volume being read)\n"
    "  --all                every deleted file the scan lists\n"
    "  POSITION...          the files at these positions, as scan prints them (0x...);\n"
    "                       a deleted folder's position takes every deleted file that\n"
    "                       was in it, at any depth, under its folders; POSITION:NAME\n"
    "                       takes only the file's named stream NAME\n"
    "  --by-number          name the files File_N (N: the file's index in the scan)\n"
    "                       instead of their recorded names\n"
    "  --allow-same-volume  write into DIR even when it lies on the volume being\n"
    "                       read, where it may overwrite deleted files\n"
    "  --overwrite          replace files already in DIR; without it a taken name\n"
    "                       gets a free one, \"name (1).ext\"\n"
    "  --raw                write encrypted (EFS) files as they lie on the volume,\n"
    "                       still encrypted, instead of giving them up\n"
    "  --jobs N             write N files at a time (1 to 16, default 1); lines\n"
    "                       still come in scan order\n"
    "  --keep-paths         write each file under its original folders inside DIR\n"
    "                       (/A/B/f.txt as DIR/A/B/f.txt; orphans under $Orphan/),\n"
    "                       every level a safe name; links are never followed: a\n"
    "                       level whose name a file or link has gets \"name (1)\"\n"
    "  --streams            also write the named streams of each file taken, beside\n"
    "                       it as FILE_STREAM (with_ads.txt_secret); a filter then\n"
    "                       matches stream rows too (--path '*:secret')\n"
    "  --no-times           leave the files the times of their writing; by default\n"
    "                       each gets its modification and access times (on Windows\n"
    "                       also its creation time) from $STANDARD_INFORMATION\n"
    "  FILTER...            --name, --path, --ext, --min-size, --max-size,\n"
    "                       --modified-after, --modified-before, --recoverable,\n"
    "                       --no-orphans, --include-orphans as for scan (see scan\n"
    "                       --help); a filter of only --name and --path also takes\n"
    "                       the deleted folders it matches\n"
    "  --report FILE        also write an evidence report, CSV or JSON as FILE ends\n"
    "                       in .csv or .json: the source's path, size and volume\n"
    "                       serial, the tool's version and the time of the run,\n"
    "                       then per file its position, record, path, size, bytes\n"
    "                       written, result (written, damaged with the unreadable\n"
    "                       bytes, given up with the reason), recoverable %, the\n"
    "                       MD5 and SHA-256 of what was written, and the output\n"
    "                       file. FILE.md5 and FILE.sha256 list the files written\n"
    "                       for md5sum -c and sha256sum -c, run inside DIR. No\n"
    "                       existing file is replaced (--overwrite replaces)\n"
    "\n"
    "Examples:\n"
    "  quillmere-cli recover volume.img --out /mnt/usb/found --all\n"
    "  quillmere-cli recover disk.img@1048576 --out found 0x8000 0x8C00\n"
    "  quillmere-cli recover evidence.E01 --out found --all --report found/report.csv\n"
    "  cd found && sha256sum -c report.csv.sha256\n"
    "  quillmere-cli recover volume.img --out found --keep-paths --path '/Photos/*'\n"
    "  quillmere-cli recover volume.img --out found 0x1C00:secret\n";

constexpr const char* kHelpHelp =
    "usage: quillmere-cli help [COMMAND]\n"
    "\n"
    "Prints the help of COMMAND (sources, scan, recover), or without one the\n"
    "overview of all commands.\n"
    "\n"
    "Examples:\n"
    "  quillmere-cli help scan\n"
    "  quillmere-cli scan --help\n";

}  // namespace

const char* UsageText() {
    return kUsage;
}

const char* ExitStatusText() {
    return kExitStatus;
}

std::string GlobalHelp() {
    return std::string(kUsage) + kOverview + kSource + "\n" + kExitStatus;
}

std::optional<std::string> CommandHelp(std::string_view command) {
    const char* text = nullptr;
    if (command == "sources") text = kSourcesHelp;
    if (command == "scan") text = kScanHelp;
    if (command == "recover") text = kRecoverHelp;
    if (command == "help") return std::string(kHelpHelp);
    if (text == nullptr) return std::nullopt;
    return std::string(text) + "\n" + kSource + "\n" + kExitStatus;
}

std::string VersionText() {
    std::string text = "quillmere-cli " QM_VERSION "\nimage formats: raw, split raw";
    for (ImageFormat f : SupportedContainerFormats())
        text += std::string(", ") + ImageFormatName(f);
    return text + "\n";
}

const std::vector<std::string>& CommandNames() {
    static const std::vector<std::string> names{"sources", "scan", "recover", "help"};
    return names;
}

std::vector<std::string> CommandOptions(std::string_view command) {
    std::vector<std::string> options;
    if (command == "scan") options = {"--partition", "--format", "--json", "--streams", "--help"};
    if (command == "recover")
        options = {"--partition", "--out",      "--all",  "--by-number", "--allow-same-volume",
                   "--overwrite", "--raw",      "--jobs", "--report",    "--keep-paths",
                   "--streams",   "--no-times", "--help"};
    if (!options.empty()) {
        const std::vector<std::string>& filters = FilterOptionNames();
        options.insert(options.end() - 1, filters.begin(), filters.end());
        return options;
    }
    if (command == "sources" || command == "help") return {"--help"};
    return {"--help", "--version"};
}

}  // namespace qm::cli
