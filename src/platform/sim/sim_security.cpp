#include "platform/sim/sim_security.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

namespace {

// The user of a simulated host that no test has named.
const winformat::Sid kDefaultUser =
    winformat::Sid::Make(winformat::sid_authority::kNt, {21, 1004336348, 1177238915, 682003330, 1001});

}  // namespace

SimSecurity::SimSecurity(SimHost& host) : host_(host) {}

SimToken SimSecurity::DefaultToken() { return SimToken::InteractiveUser(kDefaultUser, false, false); }

void SimSecurity::SetProcessToken(SimToken token) {
    host_.caller().SetToken(std::make_shared<const SimToken>(std::move(token)));
}

const SimToken& SimSecurity::ProcessToken() const { return host_.caller().token(); }

Handle SimSecurity::AddTokenHandle(SimToken token, std::uint32_t access) {
    return host_.handles().Add(std::make_shared<SimTokenHandle>(std::make_shared<const SimToken>(std::move(token))),
                               access);
}

void SimSecurity::SetTokenUser(winformat::Sid user) { SetProcessToken(SimToken::InteractiveUser(user, false, false)); }

SysResult<void> SimSecurity::GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                     std::span<std::uint8_t> buffer, std::uint32_t& length_needed) {
    length_needed = 0;
    TELVO_SIM_ENTER(host_, "GetKernelObjectSecurity");
    std::vector<std::uint8_t> descriptor;
    if (auto file = FindFile(handle)) {
        // On a file it is NtQuerySecurityObject with Win32 errors.
        if (!HoldsReadAccess(*file, requested_information)) {
            return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
        }
        descriptor = FileDescriptor(*file);
    } else if (auto secured = std::dynamic_pointer_cast<SimSecured>(host_.handles().Find(handle))) {
        // Owner, group and DACL need READ_CONTROL on the handle (a SACL
        // needs ACCESS_SYSTEM_SECURITY, which no caller here holds).
        const std::uint32_t granted = host_.handles().GrantedAccess(handle).value_or(0);
        if (!(granted & file_access::kReadControl)) return Win32Failure(win32_error::kAccessDenied);
        descriptor = secured->security_descriptor;
    } else {
        return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    }
    auto bytes = SelectDescriptorParts(descriptor, requested_information);
    if (!bytes) return std::unexpected(*bytes.error().sys());
    length_needed = static_cast<std::uint32_t>(bytes->size());
    if (buffer.size() < bytes->size()) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    std::memcpy(buffer.data(), bytes->data(), bytes->size());
    return {};
}

SysResult<Handle> SimSecurity::OpenProcessToken(Handle process, std::uint32_t desired_access) {
    TELVO_SIM_ENTER(host_, "OpenProcessToken");
    if (process == kCurrentProcess) {
        return host_.handles().Add(std::make_shared<SimTokenHandle>(host_.caller().shared_token()), desired_access);
    }
    if (auto helper = host_.handles().FindAs<SimHelperProcessObject>(process)) {
        return host_.handles().Add(std::make_shared<SimTokenHandle>(helper->process().shared_token()), desired_access);
    }
    auto other = host_.handles().FindAs<SimProcess>(process);
    if (!other) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    // The process handle needs PROCESS_QUERY_(LIMITED_)INFORMATION.
    if (!host_.handles().HoldsAnyOf(process, process_access::kQueryAny)) return Win32Failure(win32_error::kAccessDenied);
    return host_.handles().Add(std::make_shared<SimTokenHandle>(std::make_shared<const SimToken>(other->full_token())),
                               desired_access);
}

// An impersonated token opened by its own thread (windows-notes section 7.3):
// at identification level the thread cannot open the token object as
// itself, only checked against the process's identity; an anonymous-level
// token cannot be opened at all.
SysResult<Handle> SimSecurity::OpenThreadToken(std::uint32_t desired_access, bool open_as_self) {
    TELVO_SIM_ENTER(host_, "OpenThreadToken", {desired_access, open_as_self ? 1u : 0u});
    std::shared_ptr<const SimToken> token;
    {
        std::lock_guard lock(impersonation_mutex_);
        auto it = impersonation_.find(std::this_thread::get_id());
        if (it == impersonation_.end()) return Win32Failure(win32_error::kNoToken);
        token = it->second;
    }
    if (token->impersonation_level == impersonation_level::kAnonymous) {
        return Win32Failure(win32_error::kCantOpenAnonymous);
    }
    if (token->impersonation_level == impersonation_level::kIdentification && !open_as_self) {
        return Win32Failure(win32_error::kBadImpersonationLevel);
    }
    return host_.handles().Add(std::make_shared<SimTokenHandle>(std::move(token)), desired_access);
}

SysResult<void> SimSecurity::RevertToSelf() {
    TELVO_SIM_ENTER(host_, "RevertToSelf");
    std::lock_guard lock(impersonation_mutex_);
    impersonation_.erase(std::this_thread::get_id());
    return {};
}

void SimSecurity::ImpersonateOnThread(std::shared_ptr<const SimToken> token) {
    std::lock_guard lock(impersonation_mutex_);
    impersonation_[std::this_thread::get_id()] = std::move(token);
}

bool SimSecurity::ThreadImpersonates() const {
    std::lock_guard lock(impersonation_mutex_);
    return impersonation_.contains(std::this_thread::get_id());
}

SysResult<Handle> SimSecurity::DuplicateTokenEx(Handle token, std::uint32_t desired_access,
                                                std::uint32_t impersonation_level, std::uint32_t type) {
    TELVO_SIM_ENTER(host_, "DuplicateTokenEx");
    auto source = host_.handles().FindAs<SimTokenHandle>(token);
    if (!source) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (!host_.handles().Holds(token, token_access::kDuplicate)) {
        return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    }
    if (type != token_type::kPrimary && type != token_type::kImpersonation) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    }
    SimToken duplicate = source->token();
    duplicate.type = type;
    duplicate.impersonation_level = impersonation_level;
    return host_.handles().Add(std::make_shared<SimTokenHandle>(std::make_shared<const SimToken>(std::move(duplicate))),
                               desired_access);
}

SysResult<AccessCheckOutcome> SimSecurity::AccessCheck(std::span<const std::uint8_t> security_descriptor,
                                                       Handle client_token, std::uint32_t desired_access,
                                                       const GenericMapping& mapping,
                                                       std::uint32_t privilege_set_length,
                                                       std::uint32_t& privilege_set_needed) {
    constexpr std::uint32_t kLuidAndAttributes = 12;
    constexpr std::uint32_t kPrivilegeSetHeader = 8;
    TELVO_SIM_ENTER(host_, "AccessCheck");
    auto handle = host_.handles().FindAs<SimTokenHandle>(client_token);
    if (!handle) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (!host_.handles().Holds(client_token, token_access::kQuery)) return Win32Failure(win32_error::kAccessDenied);
    const SimToken& token = handle->token();
    if (token.type != token_type::kImpersonation) {
        return std::unexpected(SysError::Win32(win32_error::kNoImpersonationToken));
    }
    if (token.impersonation_level < impersonation_level::kIdentification) {
        return std::unexpected(SysError::Win32(win32_error::kBadImpersonationLevel));
    }
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(security_descriptor);
    if (!descriptor) return std::unexpected(SysError::Win32(win32_error::kInvalidSecurityDescr));
    auto decision = EvaluateAccess(*descriptor, token.identity, desired_access, mapping);
    if (!decision) return std::unexpected(decision.error());
    // PRIVILEGE_SET: a header and one LUID_AND_ATTRIBUTES per privilege used,
    // never smaller than the structure with one entry.
    privilege_set_needed =
        std::max(kPrivilegeSetMinimumSize, kPrivilegeSetHeader + kLuidAndAttributes * decision->privileges_used);
    if (privilege_set_length < privilege_set_needed) {
        return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    }
    return AccessCheckOutcome{decision->granted, decision->granted_access, decision->error};
}

SysResult<TokenInformation> SimSecurity::GetTokenInformation(Handle handle, std::uint32_t information_class,
                                                             std::uint32_t buffer_length,
                                                             std::uint32_t& return_length) {
    // TOKEN_USER on x64: SID_AND_ATTRIBUTES {PSID, DWORD, 4 bytes padding}, then the SID.
    constexpr std::uint32_t kTokenUserHeader = 16;
    return_length = 0;
    TELVO_SIM_ENTER(host_, "GetTokenInformation");
    auto token = host_.handles().FindAs<SimTokenHandle>(handle);
    if (!token) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (!host_.handles().Holds(handle, token_access::kQuery)) return Win32Failure(win32_error::kAccessDenied);
    if (information_class == token_information::kUser && token_user_answer_) {
        return_length = kTokenUserHeader + static_cast<std::uint32_t>(token_user_answer_->size());
        if (buffer_length < return_length) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
        return TokenInformation{*token_user_answer_, 0};
    }
    return QueryTokenInformation(token->token(), information_class, buffer_length, return_length);
}

SysResult<std::vector<std::uint8_t>> SimSecurity::SetEntriesInAclW(std::span<const ExplicitAccess> entries,
                                                                   std::span<const std::uint8_t> old_acl) {
    TELVO_SIM_ENTER(host_, "SetEntriesInAclW");
    std::optional<winformat::Acl> old;
    if (!old_acl.empty()) {
        auto parsed = winformat::Acl::Parse(old_acl);
        if (!parsed) return std::unexpected(SysError::Win32(win32_error::kInvalidAcl));
        old = std::move(*parsed);
    }
    auto merged = MergeEntriesInAcl(entries, old ? &*old : nullptr, grant_merge_);
    if (!merged) return std::unexpected(merged.error());
    return merged->Serialize();
}

}  // namespace telvo::platform::sim
