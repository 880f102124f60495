// Placeholder until the decoder lands: every stream is refused.
#include "ntfs/Lznt1.h"

namespace qm {

ErrorOr<std::size_t> DecompressLznt1(std::span<const std::uint8_t> /*in*/,
                                     std::span<std::uint8_t> /*out*/) {
    return Error::At(ErrorCode::Unsupported, 0, "LZNT1 decoder not built");
}

}  // namespace qm
