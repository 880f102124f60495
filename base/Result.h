// Small vocabulary types shared by the core: an error that says where and what,
// and ErrorOr<T>, a value or such an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qm {

enum class ErrorCode {
    OpenFailed,        // the source could not be opened
    PermissionDenied,  // the source exists but we may not read it
    NotFound,          // no such source
    NotNtfs,           // the OEM name is not "NTFS"
    BadGeometry,       // the boot sector describes no usable volume
    BadRecord,         // an MFT record failed its signature or fixups
    BadAttribute,      // an attribute is missing or malformed
    BadRunList,        // a run list is malformed or points outside the volume
    BadCompression,    // compressed data does not decode
    Unsupported,       // a well-formed case we do not handle (compressed MFT, ...)
    OutOfRange,        // an offset or size overflowed or left its buffer
    ReadFailed,        // the source delivered fewer bytes than asked
    WriteFailed,       // the output could not be written
    InvalidArgument,   // a caller handed us something malformed
    Cancelled,
};

const char* ErrorCodeName(ErrorCode code);

struct Error {
    ErrorCode code = ErrorCode::InvalidArgument;
    std::string message;
    // Byte position the error refers to, when there is one (in the volume or the buffer).
    std::optional<std::uint64_t> position;

    static Error Make(ErrorCode c, std::string msg) {
        return Error{c, std::move(msg), std::nullopt};
    }
    static Error At(ErrorCode c, std::uint64_t pos, std::string msg) {
        return Error{c, std::move(msg), pos};
    }
    // "what: expected E, found A at byte P"
    static Error Mismatch(ErrorCode c, std::uint64_t pos, const std::string& what,
                          std::uint64_t expected, std::uint64_t actual);

    std::string ToString() const;
};

template <typename T>
class [[nodiscard]] ErrorOr {
public:
    ErrorOr(T value) : v_(std::move(value)) {}
    ErrorOr(Error error) : v_(std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { return std::get<1>(v_); }
    Error&& take_error() { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] ErrorOr<void> {
public:
    ErrorOr() = default;
    ErrorOr(Error error) : err_(std::move(error)) {}
    bool ok() const { return !err_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *err_; }
    Error&& take_error() { return std::move(*err_); }

private:
    std::optional<Error> err_;
};

#define QM_TRY(var, expr)                                       \
    auto var##_result_ = (expr);                                \
    if (!var##_result_.ok()) return var##_result_.take_error(); \
    auto var = std::move(var##_result_).value()

}  // namespace qm
