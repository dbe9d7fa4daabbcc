#pragma once

#include "platform/security.h"

namespace telvo::platform::win32 {

class Win32Security final : public Security {
public:
    SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;
};

}  // namespace telvo::platform::win32
