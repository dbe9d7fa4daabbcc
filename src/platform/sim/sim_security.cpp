#include "platform/sim/sim_security.h"

#include <cstring>
#include <vector>

#include "platform/sim/descriptor_parts.h"
#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SimSecurity::SimSecurity(SimHost& host) : host_(host) { host_.files().SetCreatorOwner(token_user_); }

void SimSecurity::SetTokenUser(winformat::Sid user) {
    token_user_ = std::move(user);
    host_.files().SetCreatorOwner(token_user_);
}

SysResult<void> SimSecurity::GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                     std::span<std::uint8_t> buffer, std::uint32_t& length_needed) {
    length_needed = 0;
    TELVO_SIM_ENTER(host_, "GetKernelObjectSecurity");
    auto secured = std::dynamic_pointer_cast<SimSecured>(host_.handles().Find(handle));
    if (!secured) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    auto bytes = SelectDescriptorParts(secured->security_descriptor, requested_information);
    if (!bytes) return std::unexpected(*bytes.error().sys());
    length_needed = static_cast<std::uint32_t>(bytes->size());
    if (buffer.size() < bytes->size()) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    std::memcpy(buffer.data(), bytes->data(), bytes->size());
    return {};
}

namespace {

// The simulated process token: what GetTokenInformation reports of it.
class SimToken final : public SimObject {
public:
    explicit SimToken(std::vector<std::uint8_t> user_sid) : user(std::move(user_sid)) {}
    std::vector<std::uint8_t> user;
};

// TOKEN_USER on x64: SID_AND_ATTRIBUTES {PSID, DWORD, 4 bytes padding}, then
// the SID that the pointer points at.
constexpr std::size_t kTokenUserHeader = 16;

}  // namespace

SysResult<Handle> SimSecurity::OpenProcessToken(std::uint32_t) {
    TELVO_SIM_ENTER(host_, "OpenProcessToken");
    if (token_user_answer_) return host_.handles().Add(std::make_shared<SimToken>(*token_user_answer_));
    const auto bytes = token_user_.bytes();
    return host_.handles().Add(std::make_shared<SimToken>(std::vector<std::uint8_t>(bytes.begin(), bytes.end())));
}

SysResult<TokenInformation> SimSecurity::GetTokenInformation(Handle handle, std::uint32_t information_class,
                                                             std::uint32_t buffer_length,
                                                             std::uint32_t& return_length) {
    return_length = 0;
    TELVO_SIM_ENTER(host_, "GetTokenInformation");
    auto token = host_.handles().FindAs<SimToken>(handle);
    if (!token) return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    if (information_class != token_information::kUser) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
    }
    const std::size_t needed = kTokenUserHeader + token->user.size();
    return_length = static_cast<std::uint32_t>(needed);
    if (buffer_length < needed) return std::unexpected(SysError::Win32(win32_error::kInsufficientBuffer));
    return TokenInformation{token->user, 0};
}

SysResult<std::vector<std::uint8_t>> SimSecurity::SetEntriesInAclW(std::span<const ExplicitAccess> entries,
                                                                   std::span<const std::uint8_t> old_acl) {
    constexpr std::uint32_t kInvalidAcl = 1336;  // ERROR_INVALID_ACL
    TELVO_SIM_ENTER(host_, "SetEntriesInAclW");
    std::optional<winformat::Acl> old;
    if (!old_acl.empty()) {
        auto parsed = winformat::Acl::Parse(old_acl);
        if (!parsed) return std::unexpected(SysError::Win32(kInvalidAcl));
        old = std::move(*parsed);
    }
    auto merged = MergeEntriesInAcl(entries, old ? &*old : nullptr, grant_merge_);
    if (!merged) return std::unexpected(merged.error());
    return merged->Serialize();
}

}  // namespace telvo::platform::sim
