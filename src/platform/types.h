#pragma once

#include <cstdint>

namespace telvo::platform {

// An opaque kernel handle value, as Windows hands it out.
enum class Handle : std::uint64_t {};

inline constexpr Handle kNullHandle{0};
inline constexpr Handle kInvalidHandle{~std::uint64_t{0}};  // INVALID_HANDLE_VALUE
// GetCurrentProcess(): the pseudo-handle of the calling process (the same
// value as INVALID_HANDLE_VALUE, told apart by the call it is passed to).
inline constexpr Handle kCurrentProcess{~std::uint64_t{0}};

inline constexpr bool IsUsable(Handle handle) {
    return handle != kNullHandle && handle != kInvalidHandle;
}

// Win32 error codes that the system branches on.
namespace win32_error {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kPathNotFound = 3;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kInvalidData = 13;
inline constexpr std::uint32_t kNotSameDevice = 17;
inline constexpr std::uint32_t kBadLength = 24;
inline constexpr std::uint32_t kGenFailure = 31;
inline constexpr std::uint32_t kNoMoreFiles = 18;
inline constexpr std::uint32_t kSharingViolation = 32;
inline constexpr std::uint32_t kLockViolation = 33;
inline constexpr std::uint32_t kHandleEof = 38;
inline constexpr std::uint32_t kNotSupported = 50;
inline constexpr std::uint32_t kFileExists = 80;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kBrokenPipe = 109;
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kInvalidName = 123;
inline constexpr std::uint32_t kFilenameExcedRange = 206;
inline constexpr std::uint32_t kDirNotEmpty = 145;
inline constexpr std::uint32_t kDirectory = 267;  // ERROR_DIRECTORY: the path is not a directory
inline constexpr std::uint32_t kNotLocked = 158;
inline constexpr std::uint32_t kAlreadyExists = 183;
inline constexpr std::uint32_t kNoData = 232;
inline constexpr std::uint32_t kMoreData = 234;
inline constexpr std::uint32_t kNoMoreItems = 259;
inline constexpr std::uint32_t kNotOwner = 288;  // ERROR_NOT_OWNER: releasing a mutex not owned
inline constexpr std::uint32_t kFailedServiceControllerConnect = 1063;
inline constexpr std::uint32_t kNotFound = 1168;
inline constexpr std::uint32_t kInvalidOwner = 1307;
inline constexpr std::uint32_t kNoImpersonationToken = 1309;
inline constexpr std::uint32_t kPrivilegeNotHeld = 1314;
inline constexpr std::uint32_t kInvalidAcl = 1336;
inline constexpr std::uint32_t kBadImpersonationLevel = 1346;
inline constexpr std::uint32_t kInvalidSecurityDescr = 1338;
inline constexpr std::uint32_t kGenericNotMapped = 1360;
inline constexpr std::uint32_t kUnsupportedType = 1630;
inline constexpr std::uint32_t kCantResolveFilename = 1921;
}  // namespace win32_error

}  // namespace telvo::platform
