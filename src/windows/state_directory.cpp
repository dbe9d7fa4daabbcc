#include "windows/state_directory.h"

#include <vector>

#include "common/try.h"
#include "platform/security.h"
#include "windows/current_user_sid.h"
#include "windows/object_dacl.h"
#include "windows/global_locks.h"

namespace telvo::windows {

namespace {

namespace info = platform::security_information;

constexpr std::uint32_t kFileAllAccess = 0x001F01FF;
constexpr std::uint32_t kObjectAndContainerInherit = 0x3;

Result<winformat::SecurityDescriptor> ReadParts(platform::Platform& platform, platform::Handle handle,
                                              std::uint32_t parts, std::string_view operation) {
    auto bytes = platform.security.GetSecurityInfo(handle, platform::se_object_type::kFileObject, parts);
    if (!bytes) return FailSys(operation, bytes.error());
    return ParseDescriptor(*bytes, operation);
}

Result<void> CheckStateDacl(const winformat::SecurityDescriptor& descriptor, const winformat::Sid& user) {
    const winformat::Acl* dacl = descriptor.dacl.acl();
    if (dacl == nullptr) return Fail("null DACLs cannot be mutated without changing their security semantics");
    if (dacl->aces().size() != 1) return Fail("the Windows sandbox state DACL is not restricted to one account");
    const winformat::Ace& ace = dacl->aces().front();
    if (ace.type() != winformat::ace_type::kAccessAllowed || ace.mask() != kFileAllAccess || ace.sid() == nullptr ||
        *ace.sid() != user) {
        return Fail("the Windows sandbox state DACL does not grant exactly its owner");
    }
    return {};
}

}  // namespace

Result<void> SecureStateDirectory(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(const winformat::Sid user, CurrentUserSid(platform));
    TELVO_TRY_ASSIGN(const auto owned, ReadParts(platform, handle, info::kOwner, "GetSecurityInfo(owner)"));
    if (!owned.owner || *owned.owner != user) {
        return Fail("the Windows sandbox state directory is not owned by the current account");
    }

    const std::vector<platform::ExplicitAccess> entries{
        {kFileAllAccess, platform::access_mode::kSet, kObjectAndContainerInherit,
         platform::Trustee{platform::trustee_form::kIsSid, platform::trustee_type::kUnknown, user}}};
    auto dacl = platform.security.SetEntriesInAclW(entries, {});
    if (!dacl) return FailSys("SetEntriesInAclW(state directory)", dacl.error());
    auto set = platform.security.SetSecurityInfo(handle, platform::se_object_type::kFileObject,
                                                 info::kDacl | info::kProtectedDacl, *dacl);
    if (!set) return FailSys("SetSecurityInfo(state directory)", set.error());

    TELVO_TRY_ASSIGN(const auto written, ReadParts(platform, handle, info::kDacl, "GetSecurityInfo"));
    return CheckStateDacl(written, user);
}

}  // namespace telvo::windows
