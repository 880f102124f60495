// What the container libraries (libewf, libvhdi, libvmdk, libqcow) share: an
// error object to turn into text and free, and a handle closed and freed when
// the volume over it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Result.h"

namespace qm::libyal {

// The library's description of `error` (freed here), or `fallback`.
template <typename ErrorT, typename SprintFn, typename FreeFn>
std::string TakeError(ErrorT*& error, SprintFn sprint, FreeFn free, const char* fallback) {
    std::string text = fallback;
    if (error != nullptr) {
        char buf[512] = {};
        if (sprint(error, buf, sizeof buf) > 0) text = buf;
        free(&error);
        error = nullptr;
    }
    // The libraries end their messages with a newline or put one between parts.
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

inline Error OpenFailed(const std::string& path, const char* format, const std::string& why) {
    return Error::Make(ErrorCode::OpenFailed,
                       path + ": cannot read it as a " + format + " image: " + why);
}

// A read of `n` bytes at `offset` fits the libraries' off64_t and ssize_t.
inline bool ReadFits(std::uint64_t offset, std::size_t n) {
    std::uint64_t end;
    return !__builtin_add_overflow(offset, n, &end) &&
           end <= static_cast<std::uint64_t>(INT64_MAX) && n <= static_cast<std::size_t>(INT32_MAX);
}

}  // namespace qm::libyal
