#pragma once

// Shared by the win32 backend's files only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

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

}  // namespace telvo::platform::win32
