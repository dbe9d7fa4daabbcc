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
// - TokenGroups: each group's SID bytes and attributes, in the token's order.
struct TokenGroupEntry {
    std::vector<std::uint8_t> sid;
    std::uint32_t attributes = 0;
};
struct TokenInformation {
    std::vector<std::uint8_t> bytes;
    std::uint32_t attributes = 0;
    std::vector<TokenGroupEntry> groups{};
};

// GENERIC_MAPPING.
struct GenericMapping {
    std::uint32_t read = 0;
    std::uint32_t write = 0;
    std::uint32_t execute = 0;
    std::uint32_t all = 0;
};
inline constexpr GenericMapping kFileGenericMapping{0x00120089, 0x00120116, 0x001200A0, 0x001F01FF};

// What AccessCheck reports when the call itself succeeded: whether access is
// granted, the granted mask (0 when not), and the reason when not.
struct AccessCheckOutcome {
    bool access_status = false;
    std::uint32_t granted_access = 0;
    std::uint32_t error = 0;
};

// The size of a PRIVILEGE_SET with one LUID_AND_ATTRIBUTES.
inline constexpr std::uint32_t kPrivilegeSetMinimumSize = 20;

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

    // OpenProcessToken of `process` (kCurrentProcess for the caller's own).
    virtual SysResult<Handle> OpenProcessToken(Handle process, std::uint32_t desired_access) = 0;
    // DuplicateTokenEx without security attributes.
    virtual SysResult<Handle> DuplicateTokenEx(Handle token, std::uint32_t desired_access,
                                               std::uint32_t impersonation_level, std::uint32_t token_type) = 0;
    // AccessCheck of `security_descriptor` (self-relative) for the
    // impersonation token `client_token`, with a privilege-set buffer of
    // `privilege_set_length` bytes that the backend owns. ERROR_INSUFFICIENT_BUFFER
    // sets `privilege_set_needed` to the size the call asks for.
    virtual SysResult<AccessCheckOutcome> AccessCheck(std::span<const std::uint8_t> security_descriptor,
                                                      Handle client_token, std::uint32_t desired_access,
                                                      const GenericMapping& mapping,
                                                      std::uint32_t privilege_set_length,
                                                      std::uint32_t& privilege_set_needed) = 0;
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

    // OpenThreadToken of the calling thread. With `open_as_self` the open is
    // checked against the process's own identity; an identification-level
    // token needs it (ERROR_BAD_IMPERSONATION_LEVEL otherwise), an
    // anonymous-level one cannot be opened (ERROR_CANT_OPEN_ANONYMOUS), and a
    // thread that impersonates no one has no token (ERROR_NO_TOKEN).
    virtual SysResult<Handle> OpenThreadToken(std::uint32_t desired_access, bool open_as_self) = 0;
    // RevertToSelf: the calling thread stops impersonating.
    virtual SysResult<void> RevertToSelf() = 0;
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
inline constexpr std::uint32_t kFileObject = 1;    // SE_FILE_OBJECT
inline constexpr std::uint32_t kKernelObject = 6;  // SE_KERNEL_OBJECT
}  // namespace se_object_type

// NTSTATUS values of the object-security calls (system.h has the others).
namespace ntstatus {
inline constexpr std::uint32_t kSuccess = 0x00000000;
inline constexpr std::uint32_t kAccessDenied = 0xC0000022;
inline constexpr std::uint32_t kBufferTooSmall = 0xC0000023;
inline constexpr std::uint32_t kInvalidSecurityDescriptor = 0xC0000079;
}  // namespace ntstatus

namespace token_access {
inline constexpr std::uint32_t kDuplicate = 0x0002;  // TOKEN_DUPLICATE
inline constexpr std::uint32_t kQuery = 0x0008;      // TOKEN_QUERY
}  // namespace token_access

namespace token_information {
inline constexpr std::uint32_t kUser = 1;                  // TokenUser: TOKEN_USER
inline constexpr std::uint32_t kGroups = 2;                // TokenGroups: TOKEN_GROUPS
inline constexpr std::uint32_t kOwner = 4;                 // TokenOwner: TOKEN_OWNER
inline constexpr std::uint32_t kElevation = 20;            // TokenElevation: TOKEN_ELEVATION (one DWORD)
inline constexpr std::uint32_t kIntegrityLevel = 25;       // TokenIntegrityLevel: TOKEN_MANDATORY_LABEL
inline constexpr std::uint32_t kIsAppContainer = 29;       // TokenIsAppContainer: one DWORD
inline constexpr std::uint32_t kAppContainerSid = 31;      // TokenAppContainerSid: TOKEN_APPCONTAINER_INFORMATION
inline constexpr std::uint32_t kIsLessPrivilegedAppContainer = 46;  // one DWORD
}  // namespace token_information

// TOKEN_TYPE and SECURITY_IMPERSONATION_LEVEL values.
namespace token_type {
inline constexpr std::uint32_t kPrimary = 1;
inline constexpr std::uint32_t kImpersonation = 2;
}  // namespace token_type
namespace impersonation_level {
inline constexpr std::uint32_t kAnonymous = 0;
inline constexpr std::uint32_t kIdentification = 1;
inline constexpr std::uint32_t kImpersonation = 2;
}  // namespace impersonation_level


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
