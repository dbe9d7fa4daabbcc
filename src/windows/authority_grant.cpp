#include "windows/authority_grant.h"

#include <string>
#include <vector>

#include "common/try.h"
#include "platform/security.h"
#include "windows/metadata_lock.h"
#include "windows/object_local_dacl.h"
#include "windows/raw_dacl.h"
#include "windows/sid_aces.h"

namespace telvo::windows {

namespace {

platform::ExplicitAccess GrantEntry(std::uint32_t mask, std::uint32_t inheritance, const winformat::Sid& sid) {
    return {mask, platform::access_mode::kGrant, inheritance,
            platform::Trustee{platform::trustee_form::kIsSid, platform::trustee_type::kUnknown, sid}};
}

Result<void> MergeAndWrite(platform::Platform& platform, platform::Handle handle, const ObjectGrant& grant,
                           const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    TELVO_TRY(AclNamesSid(current.dacl(), sid));  // refuses entries that may hide the SID

    std::vector<platform::ExplicitAccess> entries{
        GrantEntry(grant.mask, grant_inheritance::kObjectsAndContainers, sid)};
    if (grant.inherit_only_delete) entries.push_back(GrantEntry(grant_mask::kDelete, grant_inheritance::kInheritOnly, sid));
    auto merged = platform.security.SetEntriesInAclW(entries, current.dacl().Serialize());
    if (!merged) return Fail("SetEntriesInAclW(object-local) failed: " + std::to_string(merged.error().code));
    auto acl = winformat::Acl::Parse(*merged);
    if (!acl) return Fail(std::move(acl.error()).Context("SetEntriesInAclW(object-local) returned an invalid ACL"));
    return WriteObjectLocalDacl(platform, handle, *acl);
}

}  // namespace

Result<void> GrantAuthorityAccess(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid) {
    const auto grant = GrantFor(path, authority);
    if (!grant) return {};
    auto granted = MergeAndWrite(platform, handle, *grant, sid);
    if (!granted) return Fail(std::move(granted.error()).Context("could not grant " + std::string(path)));
    return {};
}

Result<void> VerifyAuthorityGrant(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    const auto grant = GrantFor(path, authority);
    if (!grant) {
        TELVO_TRY_ASSIGN(const bool named, AclNamesSid(current.dacl(), sid));
        if (named) return Fail("private object has an AppContainer ACE: " + std::string(path));
        return {};
    }
    TELVO_TRY_ASSIGN(const SidAccess effective, SummarizeSidAces(current.dacl(), sid, false));
    TELVO_TRY_ASSIGN(const SidAccess all, SummarizeSidAces(current.dacl(), sid, true));
    const std::uint32_t expected_all = grant->mask | (authority.writable ? grant_mask::kDelete : 0);
    if (effective.allowed != grant->mask || effective.denied != 0 || all.allowed != expected_all) {
        return Fail("AppContainer grant does not match object policy: " + std::string(path));
    }
    return {};
}

}  // namespace telvo::windows
