#include "platform/sim/sim_token.h"

#include "platform/file_constants.h"
#include "platform/types.h"
#include "winformat/acl.h"
#include "winformat/mandatory_label.h"

namespace telvo::platform::sim {

namespace {

using winformat::Sid;
namespace wk = winformat::well_known;

constexpr std::uint32_t kGenericAll = file_access::kGenericAll;
constexpr std::uint32_t kGroupAttributes =
    group_attribute::kMandatory | group_attribute::kEnabledByDefault | group_attribute::kEnabled;

std::vector<std::uint8_t> DefaultDacl(const Sid& first) {
    return winformat::Acl::Fitted(winformat::acl_revision::kRevision,
                                  {winformat::Ace::Allowed(kGenericAll, first),
                                   winformat::Ace::Allowed(kGenericAll, wk::LocalSystem())})
        .value()
        .Serialize();
}

// Sizes Windows asks for: SID_AND_ATTRIBUTES (16 bytes on x64) or a lone
// pointer (8 bytes) ahead of the SID, or one DWORD.
constexpr std::uint32_t kSidAndAttributes = 16;
constexpr std::uint32_t kPointer = 8;
constexpr std::uint32_t kDword = 4;

std::vector<std::uint8_t> Bytes(const Sid& sid) { return {sid.bytes().begin(), sid.bytes().end()}; }

std::vector<std::uint8_t> Dword(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

}  // namespace

bool SimToken::MayAssignOwner(const Sid& candidate) const {
    if (candidate == identity.user || identity.HasPrivilege(privilege::kRestore)) return true;
    for (const TokenGroup& group : identity.groups) {
        if (group.sid == candidate && (group.attributes & group_attribute::kOwner) &&
            !(group.attributes & group_attribute::kUseForDenyOnly)) {
            return true;
        }
    }
    return false;
}

SimToken SimToken::InteractiveUser(const Sid& user, bool administrator, bool elevated) {
    SimToken token;
    token.identity.user = user;
    token.identity.groups = {
        TokenGroup{wk::World(), kGroupAttributes},
        TokenGroup{wk::Users(), kGroupAttributes},
        TokenGroup{Sid::Make(winformat::sid_authority::kNt, {4}), kGroupAttributes},  // INTERACTIVE
        TokenGroup{wk::AuthenticatedUsers(), kGroupAttributes},
        TokenGroup{Sid::Make(winformat::sid_authority::kNt, {5, 0, 0x3E7F1}),
                   kGroupAttributes | group_attribute::kLogonId},
    };
    token.owner = user;
    token.default_dacl = DefaultDacl(user);
    if (administrator) {
        const bool admin_enabled = elevated;
        token.identity.groups.push_back(TokenGroup{
            wk::Administrators(), admin_enabled ? kGroupAttributes | group_attribute::kOwner
                                                : group_attribute::kUseForDenyOnly});
        if (elevated) {
            // The default owner of what an elevated administrator creates
            // (windows-notes 10.2, "Admin default owner"): objects that must
            // belong to the user name their owner explicitly.
            token.owner = wk::Administrators();
            token.default_dacl = DefaultDacl(wk::Administrators());
            token.identity.integrity_rid = winformat::integrity_rid::kHigh;
            token.elevated = true;
        }
    }
    token.primary_group = user;
    return token;
}

SimToken SimToken::LocalSystem() {
    SimToken token;
    token.identity.user = wk::LocalSystem();
    token.identity.groups = {
        TokenGroup{wk::Administrators(), kGroupAttributes | group_attribute::kOwner},
        TokenGroup{wk::World(), kGroupAttributes},
        TokenGroup{wk::AuthenticatedUsers(), kGroupAttributes},
    };
    token.identity.integrity_rid = winformat::integrity_rid::kSystem;
    token.identity.enabled_privileges = {privilege::kTakeOwnership, privilege::kBackup, privilege::kRestore,
                                         privilege::kSecurity};
    // Objects that LocalSystem creates are owned by Administrators.
    token.owner = wk::Administrators();
    token.primary_group = wk::LocalSystem();
    token.default_dacl = DefaultDacl(wk::LocalSystem());
    token.elevated = true;
    return token;
}

SimToken SimToken::AppContainerFrom(const SimToken& creator, const Sid& package, std::vector<TokenGroup> capabilities,
                                    bool less_privileged) {
    SimToken token = creator;
    token.identity.integrity_rid = winformat::integrity_rid::kLow;
    token.identity.package = package;
    token.identity.capabilities = std::move(capabilities);
    token.identity.less_privileged = less_privileged;
    token.identity.enabled_privileges.clear();
    token.type = token_type::kPrimary;
    token.impersonation_level = impersonation_level::kAnonymous;
    token.elevated = false;
    return token;
}

TokenAssumptions& CurrentTokenAssumptions() {
    static TokenAssumptions assumptions;
    return assumptions;
}

SysResult<TokenInformation> QueryTokenInformation(const SimToken& token, std::uint32_t information_class,
                                                  std::uint32_t buffer_length, std::uint32_t& return_length) {
    const TokenIdentity& identity = token.identity;
    TokenInformation answer;
    std::uint32_t needed = 0;
    switch (information_class) {
        case token_information::kUser:
            answer.bytes = Bytes(identity.user);
            needed = kSidAndAttributes + static_cast<std::uint32_t>(identity.user.size());
            break;
        case token_information::kGroups:
            // TOKEN_GROUPS: the count padded to a pointer, then one
            // SID_AND_ATTRIBUTES per group, then the SIDs.
            needed = kPointer;
            for (const TokenGroup& group : identity.groups) {
                answer.groups.push_back(TokenGroupEntry{Bytes(group.sid), group.attributes});
                needed += kSidAndAttributes + static_cast<std::uint32_t>(group.sid.size());
            }
            answer.bytes = Dword(static_cast<std::uint32_t>(identity.groups.size()));
            break;
        case token_information::kOwner:
            answer.bytes = Bytes(token.owner);
            needed = kPointer + static_cast<std::uint32_t>(token.owner.size());
            break;
        case token_information::kElevation:
            answer.bytes = Dword(token.elevated ? 1 : 0);
            needed = kDword;
            break;
        case token_information::kIntegrityLevel: {
            const Sid label = winformat::IntegrityLevelSid(identity.integrity_rid);
            answer.bytes = Bytes(label);
            answer.attributes = group_attribute::kIntegrity | group_attribute::kIntegrityEnabled;
            needed = kSidAndAttributes + static_cast<std::uint32_t>(label.size());
            break;
        }
        case token_information::kIsAppContainer:
            answer.bytes = Dword(identity.IsAppContainer() ? 1 : 0);
            needed = kDword;
            break;
        case token_information::kAppContainerSid:
            // A token that is no AppContainer answers a null SID pointer.
            if (identity.package) answer.bytes = Bytes(*identity.package);
            needed = kPointer + static_cast<std::uint32_t>(answer.bytes.size());
            break;
        case token_information::kIsLessPrivilegedAppContainer:
            if (!CurrentTokenAssumptions().less_privileged_class_answered) {
                return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
            }
            answer.bytes = Dword(identity.less_privileged ? 1 : 0);
            needed = kDword;
            break;
        default:
            return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    }
    return_length = needed;
    if (buffer_length < needed) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    return answer;
}

}  // namespace telvo::platform::sim
