#pragma once

#include "platform/security.h"

namespace telvo::platform::win32 {

class Win32Security final : public Security {
public:
    SysResult<void> GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;
    SysResult<Handle> OpenProcessToken(Handle process, std::uint32_t desired_access) override;
    SysResult<Handle> DuplicateTokenEx(Handle token, std::uint32_t desired_access, std::uint32_t impersonation_level,
                                       std::uint32_t token_type) override;
    SysResult<AccessCheckOutcome> AccessCheck(std::span<const std::uint8_t> security_descriptor, Handle client_token,
                                              std::uint32_t desired_access, const GenericMapping& mapping,
                                              std::uint32_t privilege_set_length,
                                              std::uint32_t& privilege_set_needed) override;
    SysResult<TokenInformation> GetTokenInformation(Handle token, std::uint32_t information_class,
                                                    std::uint32_t buffer_length, std::uint32_t& return_length) override;
    SysResult<void> NtQuerySecurityObject(Handle handle, std::uint32_t security_information,
                                          std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override;
    SysResult<void> NtSetSecurityObject(Handle handle, std::uint32_t security_information,
                                        std::span<const std::uint8_t> security_descriptor) override;
    SysResult<std::vector<std::uint8_t>> GetSecurityInfo(Handle handle, std::uint32_t object_type,
                                                         std::uint32_t security_information) override;
    SysResult<void> SetSecurityInfo(Handle handle, std::uint32_t object_type, std::uint32_t security_information,
                                    std::span<const std::uint8_t> dacl) override;
    SysResult<std::vector<std::uint8_t>> SetEntriesInAclW(std::span<const ExplicitAccess> entries,
                                                          std::span<const std::uint8_t> old_acl) override;
    SysResult<Handle> OpenThreadToken(std::uint32_t desired_access, bool open_as_self) override;
    SysResult<void> RevertToSelf() override;
};

}  // namespace telvo::platform::win32
