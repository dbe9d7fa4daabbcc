#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/security.h"
#include "platform/sid_and_attributes.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

// TOKEN_MANDATORY_POLICY bits.
namespace token_mandatory_policy {
inline constexpr std::uint32_t kNoWriteUp = 0x1;
inline constexpr std::uint32_t kNewProcessMin = 0x2;
}  // namespace token_mandatory_policy

// The privileges an access check or an open consults, by their Windows names.
namespace privilege {
inline constexpr const char* kSecurity = "SeSecurityPrivilege";
inline constexpr const char* kTakeOwnership = "SeTakeOwnershipPrivilege";
inline constexpr const char* kRelabel = "SeRelabelPrivilege";
inline constexpr const char* kBackup = "SeBackupPrivilege";
inline constexpr const char* kRestore = "SeRestorePrivilege";
inline constexpr const char* kDebug = "SeDebugPrivilege";
}  // namespace privilege

struct TokenGroup {
    winformat::Sid sid;
    std::uint32_t attributes = group_attribute::kEnabled | group_attribute::kEnabledByDefault |
                               group_attribute::kMandatory;
    bool operator==(const TokenGroup&) const = default;
};

// What a token holds that access checks read. An AppContainer token has a
// package SID; a less-privileged one also opted out of ALL APPLICATION
// PACKAGES.
struct TokenIdentity {
    winformat::Sid user = winformat::Sid::Make(0, {0});  // S-1-0-0 until set
    std::vector<TokenGroup> groups;
    std::uint32_t integrity_rid = 0x2000;  // medium
    std::uint32_t mandatory_policy = token_mandatory_policy::kNoWriteUp;
    std::set<std::string> enabled_privileges;
    std::optional<winformat::Sid> package;
    std::vector<TokenGroup> capabilities;
    bool less_privileged = false;

    bool IsAppContainer() const { return package.has_value(); }
    bool HasPrivilege(const std::string& name) const { return enabled_privileges.contains(name); }
};

using platform::GenericMapping;
using platform::kFileGenericMapping;

// Where the sources on Windows' access check disagree or are silent, the
// simulated host takes one side; each choice is kept here, in one place, so
// that it can be switched when Windows is seen to do otherwise.
struct AccessCheckAssumptions {
    // A null DACL hands everything to a normal token; for an AppContainer
    // token the sources disagree. Unconfirmed: simulated as granting the
    // AppContainer side nothing.
    bool null_dacl_grants_appcontainer = false;
    // An AppContainer token whose mandatory check fails on an object labelled
    // medium or lower (or unlabelled) passes it, and the DACL decides.
    bool appcontainer_passes_integrity_up_to_medium = true;
    // An ACCESS_DENIED_OBJECT entry without an object type applies as a plain
    // deny when the check names no object types. Unconfirmed.
    bool untyped_denied_object_ace_applies = true;
};
AccessCheckAssumptions& CurrentAccessCheckAssumptions();

// What AccessCheck reports: the call's own status is the Result; a refused
// access has `granted` false, `granted_access` 0 and the reason in `error`.
struct AccessDecision {
    bool granted = false;
    std::uint32_t granted_access = 0;
    std::uint32_t error = 0;  // Win32 error when not granted
    std::uint32_t privileges_used = 0;  // privileges that granted rights
};

// AccessCheck over a security descriptor, evaluated as the kernel does for
// this token: mandatory integrity, privileges, the owner's implicit rights,
// then the DACL walk with the AppContainer side intersected. The descriptor
// must have an owner and a group (else ERROR_INVALID_SECURITY_DESCR) and the
// desired access must hold no generic bits (else ERROR_GENERIC_NOT_MAPPED).
// MAXIMUM_ALLOWED asks for everything the descriptor allows.
SysResult<AccessDecision> EvaluateAccess(const winformat::SecurityDescriptor& descriptor,
                                         const TokenIdentity& token, std::uint32_t desired_access,
                                         const GenericMapping& mapping);

// The check the kernel makes when an object is opened: as EvaluateAccess,
// but the descriptor may lack an owner or a group (an absent owner gets no
// implicit rights).
SysResult<AccessDecision> EvaluateObjectAccess(const winformat::SecurityDescriptor& descriptor,
                                               const TokenIdentity& token, std::uint32_t desired_access,
                                               const GenericMapping& mapping);

// Generic bits of `mask` replaced by the rights the mapping gives them.
std::uint32_t MapGenericBits(std::uint32_t mask, const GenericMapping& mapping);

}  // namespace telvo::platform::sim
