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

}  // namespace telvo::platform::win32
