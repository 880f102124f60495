// quillmere-cli sources: the NTFS volumes and partitions of the images and
// devices named, one line each.
#include <set>
#include <string>
#include <vector>

#include "cli/CliCommon.h"
#include "ntfs/Sources.h"

namespace qm::cli {

int Sources(const std::vector<std::string>& images, std::FILE* outFile, Messages& msg) {
    int status = kExitOk;
    std::vector<std::string> readable;
    for (const std::string& image : images) {
        auto opened = OpenRawVolume(image);
        if (!opened) {
            msg.Say(OpenProblem(image, opened.error()));
            status = kExitFailed;
            continue;
        }
        readable.push_back(image);
    }
    OutputBuffer out(outFile, false);
    std::set<std::string> listed;
    for (const SourceInfo& s : DiscoverSources(readable)) {
        out.text() += s.source + "\t";
        AppendUnsigned(out.text(), s.size);
        out.text() += "\t";
        AppendTsvField(out.text(), s.label);
        out.text() += "\t";
        if (s.partition != 0) {
            AppendUnsigned(out.text(), s.partition);
            out.text() += "\t";
            AppendUnsigned(out.text(), s.start);
        } else {
            out.text() += "\t";
        }
        out.text() += "\n";
        listed.insert(ParseSourceSpec(s.source).path);
    }
    out.Flush();
    for (const std::string& image : readable)
        if (!listed.count(image) && !listed.count(ParseSourceSpec(image).path))
            msg.Say(image + ": no NTFS volume or partition found");
    if (out.failed()) return OutputFailed(out, msg);
    return status;
}

}  // namespace qm::cli
