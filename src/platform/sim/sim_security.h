#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/security.h"
#include "platform/sim/sim_acl_entries.h"
#include "platform/sim/sim_token.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

class SimHost;
class SimFileObject;

// Security calls. The object-security calls work on file handles
// (sim_security_files.cpp) and honour the handle's access: reading a
// descriptor needs READ_CONTROL, setting a DACL WRITE_DAC
// (STATUS_ACCESS_DENIED / ERROR_ACCESS_DENIED otherwise). What is modelled of
// them:
// - NtSetSecurityObject and SetSecurityInfo set DACLs only (other parts:
//   STATUS_INVALID_PARAMETER / ERROR_INVALID_PARAMETER). A descriptor passed
//   without a DACL sets a null DACL.
// - NtSetSecurityObject stores the DACL as passed, on the object alone. Of the
//   passed control bits it keeps SE_DACL_PROTECTED, and stores
//   SE_DACL_AUTO_INHERITED when SE_DACL_AUTO_INHERITED or
//   SE_DACL_AUTO_INHERIT_REQ was passed; SE_DACL_DEFAULTED and
//   SE_DACL_AUTO_INHERIT_REQ are not stored (windows-notes §2.4: the defaulted
//   bit does not round-trip).
// - SetSecurityInfo with PROTECTED_DACL stores the DACL as passed and marks it
//   protected; otherwise (UNPROTECTED_DACL, or an object that is not
//   protected) it keeps the passed explicit entries and adds what the object
//   inherits from its parent. Either way the DACL is SE_DACL_AUTO_INHERITED
//   and the change propagates to the descendants (sim_file_security.h).
class SimSecurity final : public Security {
public:
    explicit SimSecurity(SimHost& host);

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

    // ImpersonateNamedPipeClient: the calling OS thread (one simulated
    // thread) takes `token` until RevertToSelf.
    void ImpersonateOnThread(std::shared_ptr<const SimToken> token);
    // Whether the calling thread impersonates someone.
    bool ThreadImpersonates() const;

    // Test side: the calling process's token. Its owner owns the objects
    // the process creates.
    void SetProcessToken(SimToken token);
    const SimToken& ProcessToken() const;
    // The token of a host's first process: a standard user's.
    static SimToken DefaultToken();
    // A handle, opened with `access`, to a token a test made (a child's
    // token until processes are created through the seam).
    Handle AddTokenHandle(SimToken token, std::uint32_t access);
    // A standard user's token for `user`.
    void SetTokenUser(winformat::Sid user);
    const winformat::Sid& TokenUser() const { return ProcessToken().identity.user; }
    // Makes tokens opened from now on report `sid_bytes` as their user SID
    // (empty: a null SID pointer) instead of TokenUser(): answers Windows may
    // give that the model never does. Nothing: back to TokenUser().
    void SetTokenUserAnswer(std::optional<std::vector<std::uint8_t>> sid_bytes) {
        token_user_answer_ = std::move(sid_bytes);
    }
    // The UNCONFIRMED merge rule of SetEntriesInAclW (sim_acl_entries.h).
    void SetGrantMerge(GrantMerge rule) { grant_merge_ = rule; }
    // The descriptor passed to the last NtSetSecurityObject that succeeded,
    // exactly as passed (the stored one drops request-only bits).
    const std::vector<std::uint8_t>& LastNtSetDescriptor() const { return last_nt_set_; }
    // Runs `action` at the start of every later object-security call on a
    // file (NtQuerySecurityObject, NtSetSecurityObject, GetSecurityInfo,
    // SetSecurityInfo; after fault injection), with the call's name and the
    // file's final path: another thread or process acting at that very moment.
    // It may change the file's descriptor through SimFiles, so that a read
    // finds what a concurrent writer left (or not what was just written).
    using FileSecurityAction = std::function<void(std::string_view call, const std::u16string& path)>;
    void BeforeFileSecurityCall(FileSecurityAction action) { before_file_call_ = std::move(action); }

private:
    std::shared_ptr<SimFileObject> FindFile(Handle handle) const;
    // Whether the file's handle may read those parts of its descriptor.
    static bool HoldsReadAccess(const SimFileObject& file, std::uint32_t security_information);
    // The file's whole descriptor as stored.
    static std::vector<std::uint8_t> FileDescriptor(const SimFileObject& file);
    void RunBeforeFileCall(std::string_view call, const SimFileObject& file);

    SimHost& host_;
    std::optional<std::vector<std::uint8_t>> token_user_answer_;
    GrantMerge grant_merge_ = kDefaultGrantMerge;
    std::vector<std::uint8_t> last_nt_set_;
    FileSecurityAction before_file_call_;
    mutable std::mutex impersonation_mutex_;
    std::map<std::thread::id, std::shared_ptr<const SimToken>> impersonation_;
};

}  // namespace telvo::platform::sim
