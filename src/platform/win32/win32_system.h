#pragma once

#include "platform/system.h"

namespace telvo::platform::win32 {

class Win32System final : public System {
public:
    SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) override;
};

}  // namespace telvo::platform::win32
