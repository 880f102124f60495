// Shared by the carver tests: sample files, carvers by name, one call.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "deep/carve/CarveReader.h"
#include "deep/carve/CarverSet.h"

namespace qm::deep::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Sample(const std::string& name) {
    std::ifstream f(std::string(QM_CARVE_SAMPLES) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline const Carver* CarverNamed(std::string_view name) {
    for (const Carver* c : AllCarvers())
        if (c->Name() == name) return c;
    return nullptr;
}

inline CarveResult CarveBytes(const Carver& c, const Bytes& bytes) {
    MemoryInput in(ByteView(bytes.data(), bytes.size()));
    return c.Carve(in);
}

}  // namespace qm::deep::test
