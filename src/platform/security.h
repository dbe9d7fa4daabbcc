#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Security descriptors of objects, tokens and access checks (advapi32, ntdll).
// Descriptors cross the seam as self-relative bytes.
class Security {
public:
    virtual ~Security() = default;

    // GetKernelObjectSecurity: fills `buffer` with the requested parts of the
    // object's descriptor. `length_needed` is set as Windows sets it, also when
    // the call fails with ERROR_INSUFFICIENT_BUFFER.
    virtual SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                    std::span<std::uint8_t> buffer,
                                                    std::uint32_t& length_needed) = 0;
};

// SECURITY_INFORMATION bits.
namespace security_information {
inline constexpr std::uint32_t kOwner = 0x00000001;
inline constexpr std::uint32_t kGroup = 0x00000002;
inline constexpr std::uint32_t kDacl = 0x00000004;
inline constexpr std::uint32_t kSacl = 0x00000008;
inline constexpr std::uint32_t kLabel = 0x00000010;
inline constexpr std::uint32_t kProtectedDacl = 0x80000000;
inline constexpr std::uint32_t kUnprotectedDacl = 0x20000000;
}  // namespace security_information

}  // namespace telvo::platform
