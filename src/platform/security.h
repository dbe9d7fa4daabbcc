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

    // OpenProcessToken of the current process.
    virtual SysResult<Handle> OpenProcessToken(std::uint32_t desired_access) = 0;
    // GetTokenInformation into `buffer` as Windows lays it out (pointers
    // inside the buffer point into the buffer). `return_length` is set as
    // Windows sets it, also when the call fails with ERROR_INSUFFICIENT_BUFFER.
    virtual SysResult<void> GetTokenInformation(Handle token, std::uint32_t information_class,
                                                std::span<std::uint8_t> buffer, std::uint32_t& return_length) = 0;
};

namespace token_access {
inline constexpr std::uint32_t kQuery = 0x0008;  // TOKEN_QUERY
}  // namespace token_access

namespace token_information {
inline constexpr std::uint32_t kUser = 1;       // TokenUser: TOKEN_USER
inline constexpr std::uint32_t kElevation = 20;  // TokenElevation
}  // namespace token_information

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
