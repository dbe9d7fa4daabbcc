#pragma once

#include "platform/security.h"

namespace telvo::testing {

// A Security that hands every call to `inner`: a test double derives from it
// and overrides only the calls it changes.
class ForwardingSecurity : public platform::Security {
public:
    explicit ForwardingSecurity(platform::Security& inner) : inner_(inner) {}

    SysResult<void> GetKernelObjectSecurity(platform::Handle handle, std::uint32_t requested_information,
                                            std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override {
        return inner_.GetKernelObjectSecurity(handle, requested_information, buffer, length_needed);
    }
    SysResult<platform::Handle> OpenProcessToken(platform::Handle process, std::uint32_t desired_access) override {
        return inner_.OpenProcessToken(process, desired_access);
    }
    SysResult<platform::Handle> DuplicateTokenEx(platform::Handle token, std::uint32_t desired_access,
                                                 std::uint32_t impersonation_level, std::uint32_t token_type) override {
        return inner_.DuplicateTokenEx(token, desired_access, impersonation_level, token_type);
    }
    SysResult<platform::AccessCheckOutcome> AccessCheck(std::span<const std::uint8_t> security_descriptor,
                                                        platform::Handle client_token, std::uint32_t desired_access,
                                                        const platform::GenericMapping& mapping,
                                                        std::uint32_t privilege_set_length,
                                                        std::uint32_t& privilege_set_needed) override {
        return inner_.AccessCheck(security_descriptor, client_token, desired_access, mapping, privilege_set_length,
                                  privilege_set_needed);
    }
    SysResult<platform::TokenInformation> GetTokenInformation(platform::Handle token, std::uint32_t information_class,
                                                              std::uint32_t buffer_length,
                                                              std::uint32_t& return_length) override {
        return inner_.GetTokenInformation(token, information_class, buffer_length, return_length);
    }
    SysResult<void> NtQuerySecurityObject(platform::Handle handle, std::uint32_t security_information,
                                          std::span<std::uint8_t> buffer, std::uint32_t& length_needed) override {
        return inner_.NtQuerySecurityObject(handle, security_information, buffer, length_needed);
    }
    SysResult<void> NtSetSecurityObject(platform::Handle handle, std::uint32_t security_information,
                                        std::span<const std::uint8_t> security_descriptor) override {
        return inner_.NtSetSecurityObject(handle, security_information, security_descriptor);
    }
    SysResult<std::vector<std::uint8_t>> GetSecurityInfo(platform::Handle handle, std::uint32_t object_type,
                                                         std::uint32_t security_information) override {
        return inner_.GetSecurityInfo(handle, object_type, security_information);
    }
    SysResult<void> SetSecurityInfo(platform::Handle handle, std::uint32_t object_type,
                                    std::uint32_t security_information, std::span<const std::uint8_t> dacl) override {
        return inner_.SetSecurityInfo(handle, object_type, security_information, dacl);
    }
    SysResult<std::vector<std::uint8_t>> SetEntriesInAclW(std::span<const platform::ExplicitAccess> entries,
                                                          std::span<const std::uint8_t> old_acl) override {
        return inner_.SetEntriesInAclW(entries, old_acl);
    }
    SysResult<platform::Handle> OpenThreadToken(std::uint32_t desired_access, bool open_as_self) override {
        return inner_.OpenThreadToken(desired_access, open_as_self);
    }
    SysResult<void> RevertToSelf() override { return inner_.RevertToSelf(); }

protected:
    platform::Security& inner_;
};

}  // namespace telvo::testing
