#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/system.h"
#include "platform/types.h"
#include "winformat/sid.h"

namespace telvo::platform {

// TRUSTEE_W as the system fills it: always NO_MULTIPLE_TRUSTEE, and the name
// is a SID (TRUSTEE_IS_SID) or the form is refused.
struct Trustee {
    std::uint32_t form = 0;  // TRUSTEE_FORM
    std::uint32_t type = 0;  // TRUSTEE_TYPE
    winformat::Sid sid;
};

// EXPLICIT_ACCESS_W.
struct ExplicitAccess {
    std::uint32_t access_permissions = 0;
    std::uint32_t access_mode = 0;  // ACCESS_MODE
    std::uint32_t inheritance = 0;  // ACE flag values
    Trustee trustee;
};

// What GetTokenInformation put in the caller's buffer, copied out as values:
// no pointer crosses the seam.
// - TokenUser: the user SID's bytes as the token's SID_AND_ATTRIBUTES points
//   at them (copied as they came, empty for a null pointer; a SID that
//   IsValidSid refuses cannot be measured, so only its 8-byte header), and
//   its attributes.
// - Fixed-size classes (TokenElevation): the structure's bytes in `bytes`.
struct TokenInformation {
    std::vector<std::uint8_t> bytes;
    std::uint32_t attributes = 0;
};

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
    // GetTokenInformation with a buffer of `buffer_length` bytes (none when
    // 0) that the backend owns; the data it received, as values. `return_length`
    // is set as Windows sets it, also when the call fails with
    // ERROR_INSUFFICIENT_BUFFER, so the caller probes the size. Only the
    // classes of token_information are handed back; another is a broken invariant.
    virtual SysResult<TokenInformation> GetTokenInformation(Handle token, std::uint32_t information_class,
                                                            std::uint32_t buffer_length,
                                                            std::uint32_t& return_length) = 0;

    // NtQuerySecurityObject (ntdll), NTSTATUS kind: fills `buffer` with the
    // requested parts as a self-relative descriptor. `length_needed` is set as
    // Windows sets it, also when the call fails with STATUS_BUFFER_TOO_SMALL.
    virtual SysResult<void> NtQuerySecurityObject(Handle handle, std::uint32_t security_information,
                                                  std::span<std::uint8_t> buffer,
                                                  std::uint32_t& length_needed) = 0;
    // NtSetSecurityObject (ntdll), NTSTATUS kind. Sets only the object itself:
    // nothing is propagated to children.
    virtual SysResult<void> NtSetSecurityObject(Handle handle, std::uint32_t security_information,
                                                std::span<const std::uint8_t> security_descriptor) = 0;

    // GetSecurityInfo, Win32 kind (the returned code): the requested parts as
    // a self-relative descriptor. The backend frees Windows' buffer at once.
    virtual SysResult<std::vector<std::uint8_t>> GetSecurityInfo(Handle handle, std::uint32_t object_type,
                                                                 std::uint32_t security_information) = 0;
    // SetSecurityInfo, Win32 kind (the returned code). The system sets DACLs
    // only: owner, group and SACL are passed as null; an empty `dacl` passes a
    // null DACL pointer. Unlike NtSetSecurityObject this propagates
    // inheritable entries to the object's descendants.
    virtual SysResult<void> SetSecurityInfo(Handle handle, std::uint32_t object_type,
                                            std::uint32_t security_information,
                                            std::span<const std::uint8_t> dacl) = 0;

    // SetEntriesInAclW, Win32 kind (the returned code): the entries merged into
    // `old_acl` (empty: a null ACL) as a new ACL's bytes. The backend frees
    // Windows' buffer at once.
    virtual SysResult<std::vector<std::uint8_t>> SetEntriesInAclW(std::span<const ExplicitAccess> entries,
                                                                  std::span<const std::uint8_t> old_acl) = 0;
};

// ACCESS_MODE values.
namespace access_mode {
inline constexpr std::uint32_t kGrant = 1;  // GRANT_ACCESS
inline constexpr std::uint32_t kSet = 2;    // SET_ACCESS
}  // namespace access_mode

namespace trustee_form {
inline constexpr std::uint32_t kIsSid = 0;  // TRUSTEE_IS_SID
}  // namespace trustee_form

namespace trustee_type {
inline constexpr std::uint32_t kUnknown = 0;  // TRUSTEE_IS_UNKNOWN
}  // namespace trustee_type

// SE_OBJECT_TYPE values.
namespace se_object_type {
inline constexpr std::uint32_t kFileObject = 1;  // SE_FILE_OBJECT
}  // namespace se_object_type

// NTSTATUS values of the object-security calls (system.h has the others).
namespace ntstatus {
inline constexpr std::uint32_t kSuccess = 0x00000000;
inline constexpr std::uint32_t kAccessDenied = 0xC0000022;
inline constexpr std::uint32_t kBufferTooSmall = 0xC0000023;
inline constexpr std::uint32_t kInvalidSecurityDescriptor = 0xC0000079;
}  // namespace ntstatus

namespace token_access {
inline constexpr std::uint32_t kQuery = 0x0008;  // TOKEN_QUERY
}  // namespace token_access

namespace token_information {
inline constexpr std::uint32_t kUser = 1;        // TokenUser: TOKEN_USER
inline constexpr std::uint32_t kElevation = 20;  // TokenElevation: TOKEN_ELEVATION (one DWORD)
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
