// Names of recovered files inside the output folder.
#include "recover/OutputName.h"

#include "ntfs/uNTFS.h"

namespace qm {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

}  // namespace

std::string SafeOutputName(std::string_view name8) {
    if (name8 == ".") return "_";
    if (name8 == "..") return "__";
    std::string out(name8);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        bool bad = c == '/' || c == '\\' || c == '\0';
#ifdef _WIN32
        bad = bad || u < 0x20 || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
              c == '>' || c == '|';
#else
        (void)u;
#endif
        if (bad) c = '_';
    }
    return out;
}

std::string OutputPathByName(const std::string& folder, std::string_view name8) {
    return folder + kSeparator + SafeOutputName(name8);
}

std::string OutputPathByNumber(const std::string& folder, std::uint64_t index) {
    return folder + kSeparator + "File_" + UDecimalText(index);
}

}  // namespace qm
