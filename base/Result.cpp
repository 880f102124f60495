#include "base/Result.h"

#include <cstdio>

namespace qm {

const char* ErrorCodeName(ErrorCode code) {
    switch (code) {
        case ErrorCode::OpenFailed:
            return "cannot open";
        case ErrorCode::PermissionDenied:
            return "permission denied";
        case ErrorCode::NotFound:
            return "not found";
        case ErrorCode::NotNtfs:
            return "not an NTFS volume";
        case ErrorCode::BadGeometry:
            return "unusable volume geometry";
        case ErrorCode::BadRecord:
            return "bad MFT record";
        case ErrorCode::BadAttribute:
            return "bad attribute";
        case ErrorCode::BadRunList:
            return "bad run list";
        case ErrorCode::BadCompression:
            return "bad compressed data";
        case ErrorCode::Unsupported:
            return "unsupported";
        case ErrorCode::OutOfRange:
            return "out of range";
        case ErrorCode::ReadFailed:
            return "read failed";
        case ErrorCode::WriteFailed:
            return "write failed";
        case ErrorCode::InvalidArgument:
            return "invalid argument";
        case ErrorCode::Cancelled:
            return "cancelled";
    }
    return "error";
}

Error Error::Mismatch(ErrorCode c, std::uint64_t pos, const std::string& what,
                      std::uint64_t expected, std::uint64_t actual) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s: expected %llu, found %llu", what.c_str(),
                  static_cast<unsigned long long>(expected),
                  static_cast<unsigned long long>(actual));
    return Error{c, buf, pos};
}

std::string Error::ToString() const {
    std::string s = message.empty() ? ErrorCodeName(code) : message;
    if (position) {
        char buf[48];
        std::snprintf(buf, sizeof buf, " (at byte 0x%llX)",
                      static_cast<unsigned long long>(*position));
        s += buf;
    }
    return s;
}

}  // namespace qm
