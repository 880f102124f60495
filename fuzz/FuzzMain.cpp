// One libFuzzer target; QM_FUZZ_ENTRY names the entry point it drives.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QM_FUZZ_ENTRY(data, size);
    return 0;
}
