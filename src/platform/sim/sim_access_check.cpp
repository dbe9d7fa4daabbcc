#include "platform/sim/sim_access_check.h"

#include "platform/file_constants.h"
#include "platform/types.h"
#include "winformat/ace.h"
#include "winformat/mandatory_label.h"

namespace telvo::platform::sim {

namespace {

using winformat::Ace;
using winformat::Sid;
namespace ace_type = winformat::ace_type;

constexpr std::uint32_t kGenericBits = file_access::kGenericAll | file_access::kGenericExecute |
                                       file_access::kGenericWrite | file_access::kGenericRead;
constexpr std::uint32_t kAccessSystemSecurity = file_access::kAccessSystemSecurity;
constexpr std::uint32_t kWriteOwner = file_access::kWriteOwner;
constexpr std::uint32_t kOwnerImplicit = file_access::kReadControl | file_access::kWriteDac;

bool Enabled(std::uint32_t attributes) {
    return (attributes & group_attribute::kEnabled) != 0 && (attributes & group_attribute::kUseForDenyOnly) == 0;
}

// The user and groups that allow entries match: enabled and not deny-only.
bool MatchesForAllow(const TokenIdentity& token, const Sid& sid) {
    if (sid == token.user) return true;
    for (const auto& group : token.groups) {
        if (group.sid == sid && Enabled(group.attributes)) return true;
    }
    return false;
}

// Deny entries also match deny-only groups.
bool MatchesForDeny(const TokenIdentity& token, const Sid& sid) {
    if (sid == token.user) return true;
    for (const auto& group : token.groups) {
        if (group.sid == sid && (group.attributes & group_attribute::kEnabled) != 0) return true;
        if (group.sid == sid && (group.attributes & group_attribute::kUseForDenyOnly) != 0) return true;
    }
    return false;
}

// The AppContainer principals: the package, its enabled capabilities, and
// the two wildcards (ALL APPLICATION PACKAGES skips less-privileged tokens).
bool MatchesAppContainer(const TokenIdentity& token, const Sid& sid) {
    if (!token.IsAppContainer()) return false;
    if (sid == *token.package) return true;
    if (sid == winformat::well_known::AllRestrictedApplicationPackages()) return true;
    if (sid == winformat::well_known::AllApplicationPackages()) return !token.less_privileged;
    for (const auto& capability : token.capabilities) {
        if (capability.sid == sid && Enabled(capability.attributes)) return true;
    }
    return false;
}

// The two sides of the walk. For a normal token the AppContainer side is
// already satisfied; for an AppContainer token it starts from the whole
// request, since the owner's implicit rights are not credited to it.
struct Walk {
    std::uint32_t remaining = 0;
    std::uint32_t ac_remaining = 0;
    // MAXIMUM_ALLOWED accumulators.
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;
    std::uint32_t ac_granted = 0;
};

bool OwnerRightsPresent(const winformat::Acl* dacl) {
    if (dacl == nullptr) return false;
    for (const auto& ace : dacl->aces()) {
        const Sid* sid = ace.sid();
        if (sid != nullptr && *sid == winformat::well_known::OwnerRights()) return true;
    }
    return false;
}

// How an entry takes part in a check that names no object types, or nothing.
enum class EntryEffect { allow, deny, none };

EntryEffect EffectOf(const Ace& ace) {
    if ((ace.flags() & winformat::ace_flag::kInheritOnly) != 0) return EntryEffect::none;
    switch (ace.type()) {
        case ace_type::kAccessAllowed:
            return EntryEffect::allow;
        case ace_type::kAccessDenied:
            return EntryEffect::deny;
        case ace_type::kAccessDeniedObject: {
            const auto* body = std::get_if<winformat::ObjectAceBody>(&ace.body());
            if (body != nullptr && !body->object_type &&
                CurrentAccessCheckAssumptions().untyped_denied_object_ace_applies) {
                return EntryEffect::deny;
            }
            return EntryEffect::none;
        }
        // Allowed-object entries count only when the check names object types.
        // Callback entries: the product never writes them, and the simulated
        // host does not evaluate conditions, so they grant nothing; the kernel
        // ignores denied-callback entries altogether.
        default:
            return EntryEffect::none;
    }
}

// The owner SID the entry stands for when it names OWNER RIGHTS.
const Sid& EffectiveSid(const Sid& sid, const winformat::SecurityDescriptor& descriptor) {
    if (sid == winformat::well_known::OwnerRights() && descriptor.owner) return *descriptor.owner;
    return sid;
}

// With MAXIMUM_ALLOWED a deny entry takes away only the rights that no
// earlier entry granted, and an allow entry only the rights not yet denied
// (MS-DTYP 2.5.3.2). Wine applies a deny wherever it stands; the two agree on
// DACLs in canonical order, which is what the differential contract test
// compares under Wine.
void WalkDacl(const winformat::Acl& dacl, const winformat::SecurityDescriptor& descriptor, const TokenIdentity& token,
              const GenericMapping& mapping, bool maximum, Walk& walk, bool& refused) {
    for (const auto& ace : dacl.aces()) {
        const EntryEffect effect = EffectOf(ace);
        if (effect == EntryEffect::none) continue;
        const Sid& sid = EffectiveSid(*ace.sid(), descriptor);
        const std::uint32_t mask = MapGenericBits(*ace.mask(), mapping);
        if (effect == EntryEffect::deny) {
            // Deny entries naming AppContainer principals have no effect.
            if (!MatchesForDeny(token, sid)) continue;
            if (maximum) {
                walk.denied |= mask & ~walk.granted;
                continue;
            }
            if ((mask & walk.remaining) != 0) {
                refused = true;
                return;
            }
            continue;
        }
        if (MatchesForAllow(token, sid)) {
            walk.remaining &= ~mask;
            walk.granted |= mask & ~walk.denied;
        } else if (MatchesAppContainer(token, sid)) {
            walk.ac_remaining &= ~mask;
            walk.ac_granted |= mask;
        }
        if (!maximum && (walk.remaining | walk.ac_remaining) == 0) return;
    }
}

// What the mandatory integrity check leaves of the request; everything when
// the check passes.
SysResult<std::uint32_t> IntegrityAllowance(const winformat::SecurityDescriptor& descriptor,
                                            const TokenIdentity& token, const GenericMapping& mapping) {
    constexpr std::uint32_t kEverything = 0xFFFFFFFF;
    if ((token.mandatory_policy & token_mandatory_policy::kNoWriteUp) == 0) return kEverything;
    auto found = winformat::FindMandatoryLabel(descriptor);
    if (!found) return std::unexpected(SysError::Win32(win32_error::kInvalidSecurityDescr));
    // An object without a label counts as medium with no-write-up.
    const winformat::MandatoryLabel label =
        found->value_or(winformat::MandatoryLabel{winformat::integrity_rid::kMedium,
                                                  winformat::mandatory_policy::kNoWriteUp});
    if (label.integrity_rid <= token.integrity_rid) return kEverything;
    if (token.IsAppContainer() && label.integrity_rid <= winformat::integrity_rid::kMedium &&
        CurrentAccessCheckAssumptions().appcontainer_passes_integrity_up_to_medium) {
        return kEverything;
    }
    std::uint32_t allowed = 0;
    if ((label.policy & winformat::mandatory_policy::kNoReadUp) == 0) allowed |= mapping.read;
    if ((label.policy & winformat::mandatory_policy::kNoExecuteUp) == 0) allowed |= mapping.execute;
    if ((label.policy & winformat::mandatory_policy::kNoWriteUp) == 0) allowed |= mapping.write;
    if (token.HasPrivilege(privilege::kRelabel)) allowed |= kWriteOwner;
    return allowed;
}

AccessDecision Refused(std::uint32_t error) { return AccessDecision{false, 0, error, 0}; }

}  // namespace

AccessCheckAssumptions& CurrentAccessCheckAssumptions() {
    static AccessCheckAssumptions assumptions;
    return assumptions;
}

std::uint32_t MapGenericBits(std::uint32_t mask, const GenericMapping& mapping) {
    std::uint32_t mapped = mask & ~kGenericBits;
    if ((mask & file_access::kGenericRead) != 0) mapped |= mapping.read;
    if ((mask & file_access::kGenericWrite) != 0) mapped |= mapping.write;
    if ((mask & file_access::kGenericExecute) != 0) mapped |= mapping.execute;
    if ((mask & file_access::kGenericAll) != 0) mapped |= mapping.all;
    return mapped;
}

SysResult<AccessDecision> EvaluateAccess(const winformat::SecurityDescriptor& descriptor,
                                         const TokenIdentity& token, std::uint32_t desired_access,
                                         const GenericMapping& mapping) {
    if (!descriptor.owner || !descriptor.group) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidSecurityDescr));
    }
    return EvaluateObjectAccess(descriptor, token, desired_access, mapping);
}

SysResult<AccessDecision> EvaluateObjectAccess(const winformat::SecurityDescriptor& descriptor,
                                               const TokenIdentity& token, std::uint32_t desired_access,
                                               const GenericMapping& mapping) {
    if ((desired_access & kGenericBits) != 0) return std::unexpected(SysError::Win32(win32_error::kGenericNotMapped));

    const bool maximum = (desired_access & file_access::kMaximumAllowed) != 0;
    const std::uint32_t requested = desired_access & ~file_access::kMaximumAllowed;

    // 1. Mandatory integrity: a refusal here refuses the whole request.
    auto allowance = IntegrityAllowance(descriptor, token, mapping);
    if (!allowance) return std::unexpected(allowance.error());
    if ((requested & ~*allowance) != 0) return Refused(win32_error::kAccessDenied);

    // 2. Privileges take their bits out of what the DACL must grant.
    Walk walk;
    walk.remaining = requested;
    std::uint32_t privileged = 0;
    if ((requested & kAccessSystemSecurity) != 0) {
        if (!token.HasPrivilege(privilege::kSecurity)) return Refused(win32_error::kPrivilegeNotHeld);
        privileged |= kAccessSystemSecurity;
    }
    if ((requested & kWriteOwner) != 0 &&
        (token.HasPrivilege(privilege::kTakeOwnership) || token.HasPrivilege(privilege::kRelabel))) {
        privileged |= kWriteOwner;
    }
    walk.remaining &= ~privileged;
    const std::uint32_t privileges_used =
        ((privileged & kAccessSystemSecurity) != 0 ? 1u : 0u) + ((privileged & kWriteOwner) != 0 ? 1u : 0u);
    walk.ac_remaining = token.IsAppContainer() ? requested & ~privileged : 0;

    // 3. The owner's implicit rights, unless an OWNER RIGHTS entry says
    // otherwise: READ_CONTROL and WRITE_DAC only (MS-DTYP 2.5.3.2; Windows
    // Security Internals, ch. 7). Wine gives the owner every standard right.
    const winformat::Acl* dacl = descriptor.dacl.acl();
    if (descriptor.owner && MatchesForAllow(token, *descriptor.owner) && !OwnerRightsPresent(dacl)) {
        walk.remaining &= ~kOwnerImplicit;
        walk.granted |= kOwnerImplicit;
    }

    // 4. Nothing left for a normal token: granted without reading the DACL.
    if (!maximum && walk.remaining == 0 && !token.IsAppContainer()) {
        return AccessDecision{true, requested, 0, privileges_used};
    }

    // 5. The DACL. Absent or null: everything for the user side.
    if (dacl == nullptr) {
        walk.remaining = 0;
        walk.granted = mapping.all;
        if (CurrentAccessCheckAssumptions().null_dacl_grants_appcontainer) {
            walk.ac_remaining = 0;
            walk.ac_granted = mapping.all;
        }
    } else {
        bool refused = false;
        WalkDacl(*dacl, descriptor, token, mapping, maximum, walk, refused);
        if (refused) return Refused(win32_error::kAccessDenied);
    }

    if (maximum) {
        std::uint32_t result = (walk.granted | privileged) & *allowance;
        if (token.IsAppContainer()) result &= walk.ac_granted | privileged;
        if ((requested & ~result) != 0 || result == 0) return Refused(win32_error::kAccessDenied);
        return AccessDecision{true, result, 0, privileges_used};
    }
    if ((walk.remaining | walk.ac_remaining) != 0) return Refused(win32_error::kAccessDenied);
    return AccessDecision{true, requested, 0, privileges_used};
}

}  // namespace telvo::platform::sim
