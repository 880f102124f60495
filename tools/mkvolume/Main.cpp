// qm-mkvolume: makes an NTFS test image from a description file, and writes a
// manifest of the files in it (record, deleted, size, md5, path).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "tools/mkvolume/Description.h"
#include "tools/mkvolume/NtfsWriter.h"

namespace {

void Usage() {
    std::cerr
        << "usage: qm-mkvolume [-v] [--keep-last] [--mkntfs PATH] DESCRIPTION IMAGE [MANIFEST]\n"
           "  Writes IMAGE (a sparse file) and MANIFEST (default IMAGE.manifest.tsv).\n"
           "  --keep-last leaves out the deletions after the last step.\n";
}

}  // namespace

int main(int argc, char** argv) {
    qm::mkvolume::WriterOptions options;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-v") {
            options.verbose = true;
        } else if (a == "--keep-last") {
            options.keepLast = true;
        } else if (a == "--mkntfs" && i + 1 < argc) {
            options.mkntfs = argv[++i];
        } else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            Usage();
            return 2;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() < 2 || args.size() > 3) {
        Usage();
        return 2;
    }
    const std::string manifestPath = args.size() == 3 ? args[2] : args[1] + ".manifest.tsv";
    try {
        std::ifstream in(args[0], std::ios::binary);
        if (!in) {
            std::cerr << "qm-mkvolume: cannot read " << args[0] << "\n";
            return 1;
        }
        std::stringstream text;
        text << in.rdbuf();
        const auto description = qm::mkvolume::ParseDescription(text.str());
        const auto manifest = qm::mkvolume::BuildVolume(description, args[1], options);
        const std::string tmp = manifestPath + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << qm::mkvolume::ManifestText(manifest);
            if (!out.flush()) {
                std::cerr << "qm-mkvolume: cannot write " << tmp << "\n";
                return 1;
            }
        }
        if (std::rename(tmp.c_str(), manifestPath.c_str()) != 0) {
            std::cerr << "qm-mkvolume: cannot write " << manifestPath << "\n";
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "qm-mkvolume: " << args[0] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
