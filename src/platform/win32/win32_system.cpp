#include "platform/win32/win32_system.h"

#include <limits>

#include "platform/win32/win32_common.h"

#include <bcrypt.h>

namespace telvo::platform::win32 {

SysResult<void> Win32System::BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) {
    if (buffer.size() > std::numeric_limits<ULONG>::max()) return std::unexpected(SysError::NtStatus(ntstatus::kInvalidParameter));
    const NTSTATUS status = ::BCryptGenRandom(nullptr, buffer.data(), static_cast<ULONG>(buffer.size()),
                                              static_cast<ULONG>(flags));
    if (status < 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return {};
}

}  // namespace telvo::platform::win32
