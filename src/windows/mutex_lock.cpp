#include "windows/mutex_lock.h"

#include <algorithm>

#include "common/try.h"
#include "platform/security.h"

namespace telvo::windows {

namespace {

constexpr std::uint32_t kMaxDescriptorSize = 65536;

Result<std::vector<std::uint8_t>> ReadOwnerAndDacl(platform::Platform& platform, platform::Handle handle,
                                                     const MutexLockSpec& spec) {
    const std::uint32_t parts = platform::security_information::kOwner | platform::security_information::kDacl;
    std::uint32_t needed = 0;
    auto probe = platform.security.GetKernelObjectSecurity(handle, parts, {}, needed);
    if (probe || probe.error() != SysError::Win32(platform::win32_error::kInsufficientBuffer) || needed == 0 ||
        needed > kMaxDescriptorSize) {
        return Fail(spec.invalid_size_message);
    }
    std::vector<std::uint8_t> buffer(needed);
    auto read = platform.security.GetKernelObjectSecurity(handle, parts, buffer, needed);
    if (!read) return FailSys(spec.security_operation, read.error());
    buffer.resize(std::min<std::size_t>(buffer.size(), needed));
    return buffer;
}

}  // namespace

Result<const winformat::Sid*> CheckLockAceForm(const winformat::Ace& ace, const LockAceMessages& messages) {
    if (ace.type() != winformat::ace_type::kAccessAllowed || ace.flags() != 0 || ace.size() < 16) {
        return Fail(messages.untrusted_ace);
    }
    const winformat::Sid* sid = ace.sid();
    if (sid == nullptr) return Fail(messages.invalid_trustee);
    if (ace.size() != 16 + 4 * static_cast<std::size_t>(sid->sub_authority_count())) {
        return Fail(messages.invalid_trustee_size);
    }
    return sid;
}

Result<std::vector<std::uint8_t>> BuildLockDescriptor(
    const std::string& lock, std::optional<winformat::Sid> owner,
    const std::vector<std::pair<std::uint32_t, winformat::Sid>>& entries) {
    auto acl = winformat::Acl::Create(256, winformat::acl_revision::kRevision);
    if (!acl) return FailSys("InitializeAcl(" + lock + ")", acl.error());
    for (const auto& [mask, sid] : entries) {
        if (auto added = acl->Append(winformat::Ace::Allowed(mask, sid)); !added) {
            return FailSys("AddAccessAllowedAce(" + lock + ")", added.error());
        }
    }
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = std::move(owner);
    descriptor.dacl = winformat::AclSlot(std::move(*acl));
    return descriptor.ToSelfRelative();
}

Result<MutexLockGuard> AcquireMutexLock(platform::Platform& platform, const MutexLockSpec& spec,
                                        const std::vector<std::uint8_t>& descriptor) {
    auto created = platform.sync.CreateMutexExW(descriptor, false, spec.name, 0, kMutexLockAccess);
    if (!created) return FailSys(spec.create_operation, created.error());
    platform::UniqueHandle handle(platform.kernel, created->handle);

    // The object may have been created by someone else: trust what was
    // obtained, not what was asked for, and never wait on a planted object.
    TELVO_TRY_ASSIGN(auto obtained, ReadOwnerAndDacl(platform, handle.get(), spec));
    const auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(obtained);
    TELVO_TRY(spec.trust_check(parsed ? &*parsed : nullptr));

    auto waited = platform.kernel.WaitForSingleObject(handle.get(), kMutexLockWaitMs);
    if (!waited) return FailSys(spec.wait_operation, waited.error());
    switch (*waited) {
        case platform::wait_result::kObject0:
        case platform::wait_result::kAbandoned:
            return MutexLockGuard(platform, std::move(handle));
        case platform::wait_result::kTimeout:
            return Fail(spec.timeout_message);
        default:
            return Fail(Error::Win32(spec.wait_operation, *waited));
    }
}

}  // namespace telvo::windows
