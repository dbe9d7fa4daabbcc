#pragma once

// Shared by the win32 backend's files only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform::win32 {

inline HANDLE ToNative(Handle handle) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
}
inline Handle FromNative(HANDLE handle) {
    return Handle{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle))};
}

// The calling thread's last error, captured right after the failed call.
inline std::unexpected<SysError> LastError() {
    return std::unexpected(SysError::Win32(::GetLastError()));
}

inline const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline std::u16string FromWide(const wchar_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// The bytes of a SID that Windows handed back, copied without judging them:
// empty for a null pointer. A SID that IsValidSid refuses cannot be measured,
// so only its fixed 8-byte header is copied.
inline std::vector<std::uint8_t> ReturnedSidBytes(PSID sid) {
    if (sid == nullptr) return {};
    const auto* bytes = static_cast<const std::uint8_t*>(sid);
    const std::size_t length = ::IsValidSid(sid) ? ::GetLengthSid(sid) : 8;
    return std::vector<std::uint8_t>(bytes, bytes + length);
}

}  // namespace telvo::platform::win32
