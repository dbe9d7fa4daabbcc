#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace telvo {

// The failure of a platform call, kept apart by kind so that callers can
// branch on the exact code Windows would have set.
struct SysError {
    enum class Kind : std::uint8_t { win32, hresult, ntstatus };
    Kind kind = Kind::win32;
    std::uint32_t code = 0;

    static constexpr SysError Win32(std::uint32_t code) { return {Kind::win32, code}; }
    static constexpr SysError HResult(std::uint32_t code) { return {Kind::hresult, code}; }
    static constexpr SysError NtStatus(std::uint32_t code) { return {Kind::ntstatus, code}; }
    bool operator==(const SysError&) const = default;
};

template <class T>
using SysResult = std::expected<T, SysError>;

// The program's single error type: a message with an ordered chain of causes,
// outermost first. A platform failure at the root keeps its code.
class Error {
public:
    explicit Error(std::string message);

    // "<operation> failed with Win32 error <n>" and the HRESULT / NTSTATUS forms.
    static Error FromSys(std::string_view operation, SysError sys);
    static Error Win32(std::string_view operation, std::uint32_t code);
    static Error HResult(std::string_view operation, std::uint32_t code);
    static Error NtStatus(std::string_view operation, std::uint32_t code);

    // Returns this error as the cause of a new outer message.
    [[nodiscard]] Error Context(std::string outer) &&;
    [[nodiscard]] Error Context(std::string outer) const&;

    const std::string& message() const { return chain_.front(); }
    const std::vector<std::string>& chain() const { return chain_; }
    std::optional<SysError> sys() const { return sys_; }
    bool IsWin32(std::uint32_t code) const;

    // The chain joined by ": ", outermost first.
    std::string Display() const;

    // Several failures of a keep-going teardown as one error: it displays as
    // the failures' chains joined by "; ", and keeps each failure whole.
    static Error Joined(std::vector<Error> failures);
    const std::vector<Error>& joined() const { return joined_; }

private:
    std::vector<std::string> chain_;
    std::optional<SysError> sys_;
    std::vector<Error> joined_;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> Fail(std::string message) {
    return std::unexpected(Error(std::move(message)));
}
inline std::unexpected<Error> Fail(Error error) { return std::unexpected(std::move(error)); }
inline std::unexpected<Error> FailSys(std::string_view operation, SysError sys) {
    return std::unexpected(Error::FromSys(operation, sys));
}

// Lifts the result of a seam call: a failure becomes
// "<operation> failed with Win32 error <n>" (or the HRESULT / NTSTATUS form)
// and keeps its code.
template <class T>
Result<T> Lift(std::string_view operation, SysResult<T> result) {
    if (!result) return std::unexpected(Error::FromSys(operation, result.error()));
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*result);
    }
}

// The failures of a teardown that goes on after each one.
class FailureList {
public:
    void Add(Error failure) { failures_.push_back(std::move(failure)); }
    bool empty() const { return failures_.empty(); }
    // Ok when nothing failed, else one joined error.
    Result<void> Finish() &&;

private:
    std::vector<Error> failures_;
};

// "0x" followed by eight lower-case hexadecimal digits.
std::string Hex32(std::uint32_t value);

// A broken invariant. Thrown only for faults the code does not expect and
// caught once, at the process entry.
class InternalFault : public std::exception {
public:
    explicit InternalFault(const char* what) : what_(what) {}
    const char* what() const noexcept override { return what_; }

private:
    const char* what_;
};

}  // namespace telvo
