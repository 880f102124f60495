#include "deep/carve/CarverSet.h"

namespace qm::deep {

// Each format's carver, defined in its own file. Adding a format is one line
// here and one file beside this one.
const Carver& PdfFormat();
const Carver& ZipFormat();
const Carver& GzipFormat();
const Carver& OleFormat();
const Carver& SqliteFormat();
const Carver& RarFormat();
const Carver& SevenZipFormat();
const Carver& PeFormat();

namespace {

const std::vector<const Carver*>& Registry() {
    static const std::vector<const Carver*> carvers = {
        &PdfFormat(),       // PdfCarver.cpp
        &ZipFormat(),       // ZipCarver.cpp
        &GzipFormat(),      // GzipCarver.cpp
        &OleFormat(),       // OleCarver.cpp
        &SqliteFormat(),    // SqliteCarver.cpp
        &RarFormat(),       // RarCarver.cpp
        &SevenZipFormat(),  // SevenZipCarver.cpp
        &PeFormat(),        // PeCarver.cpp
    };
    return carvers;
}

}  // namespace

std::span<const Carver* const> AllCarvers() {
    return Registry();
}

void CarversStartingAt(ByteView head, std::vector<const Carver*>& out) {
    out.clear();
    for (const Carver* c : Registry())
        if (c->Starts(head)) out.push_back(c);
}

}  // namespace qm::deep
