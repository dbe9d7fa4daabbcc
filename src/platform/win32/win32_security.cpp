#include "platform/win32/win32_security.h"

#include <algorithm>

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

SysResult<void> Win32Security::GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                       std::span<std::uint8_t> buffer,
                                                       std::uint32_t& length_needed) {
    DWORD needed = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    const BOOL ok = ::GetKernelObjectSecurity(ToNative(handle), requested_information,
                                              size == 0 ? nullptr : buffer.data(), size, &needed);
    const DWORD error = ::GetLastError();
    length_needed = needed;
    if (!ok) return std::unexpected(SysError::Win32(error));
    return {};
}

SysResult<Handle> Win32Security::OpenProcessToken(std::uint32_t desired_access) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), desired_access, &token)) return LastError();
    return FromNative(token);
}

SysResult<void> Win32Security::GetTokenInformation(Handle token, std::uint32_t information_class,
                                                   std::span<std::uint8_t> buffer, std::uint32_t& return_length) {
    DWORD length = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    const BOOL ok = ::GetTokenInformation(ToNative(token), static_cast<TOKEN_INFORMATION_CLASS>(information_class),
                                          size == 0 ? nullptr : buffer.data(), size, &length);
    const DWORD error = ::GetLastError();
    return_length = length;
    if (!ok) return std::unexpected(SysError::Win32(error));
    return {};
}

}  // namespace telvo::platform::win32
