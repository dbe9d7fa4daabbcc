#pragma once

#include "platform/security.h"

namespace telvo::platform::win32 {

class Win32Security final : public Security {
public:
    SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;
    SysResult<Handle> OpenProcessToken(std::uint32_t desired_access) override;
    SysResult<void> GetTokenInformation(Handle token, std::uint32_t information_class, std::span<std::uint8_t> buffer,
                                        std::uint32_t& return_length) override;
};

}  // namespace telvo::platform::win32
