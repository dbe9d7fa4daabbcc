#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Machine facts and services: random numbers, known folders, registry values, system directories.
class System {
public:
    virtual ~System() = default;

    // BCryptGenRandom without an algorithm handle: fills the buffer. NTSTATUS kind.
    virtual SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) = 0;
};

namespace bcrypt_flag {
inline constexpr std::uint32_t kUseSystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
}  // namespace bcrypt_flag

namespace ntstatus {
inline constexpr std::uint32_t kInvalidHandle = 0xC0000008;     // STATUS_INVALID_HANDLE
inline constexpr std::uint32_t kInvalidParameter = 0xC000000D;  // STATUS_INVALID_PARAMETER
}  // namespace ntstatus

}  // namespace telvo::platform
