// Group membership of tokens: CreateWellKnownSid and CheckTokenMembership.
//
// Assumed (the documentation of CheckTokenMembership): a SID counts when it
// is the token's user or one of its groups that is enabled and not
// deny-only; a null token handle stands for the calling thread's token,
// which the sim takes to be its process token (no thread of the helper
// impersonates while it asks); any other handle must be an impersonation
// token (ERROR_NO_IMPERSONATION_TOKEN) opened with TOKEN_QUERY.
#include "platform/sim/sim_host.h"
#include "platform/sim/sim_security.h"

namespace telvo::platform::sim {

namespace {

bool IsMember(const TokenIdentity& identity, const winformat::Sid& sid) {
    if (identity.user == sid) return true;
    for (const TokenGroup& group : identity.groups) {
        if (group.sid == sid && (group.attributes & group_attribute::kEnabled) != 0 &&
            (group.attributes & group_attribute::kUseForDenyOnly) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

SysResult<winformat::Sid> SimSecurity::CreateWellKnownSid(std::uint32_t well_known_type) {
    TELVO_SIM_ENTER(host_, "CreateWellKnownSid", {well_known_type});
    if (well_known_type != well_known_sid::kBuiltinAdministrators) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    }
    return winformat::well_known::Administrators();
}

SysResult<bool> SimSecurity::CheckTokenMembership(Handle token, const winformat::Sid& sid) {
    TELVO_SIM_ENTER(host_, "CheckTokenMembership", {static_cast<std::uint64_t>(token)});
    if (token == kNullHandle) return IsMember(ProcessToken().identity, sid);
    auto handle = host_.handles().FindAs<SimTokenHandle>(token);
    if (!handle) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (!host_.handles().Holds(token, token_access::kQuery)) {
        return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    }
    if (handle->token().type != token_type::kImpersonation) {
        return std::unexpected(SysError::Win32(win32_error::kNoImpersonationToken));
    }
    return IsMember(handle->token().identity, sid);
}

}  // namespace telvo::platform::sim
