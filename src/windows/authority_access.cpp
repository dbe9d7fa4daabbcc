#include "windows/authority_access.h"

#include <algorithm>

#include "common/try.h"
#include "platform/security.h"
#include "windows/global_locks.h"
#include "windows/object_dacl.h"
#include "winformat/text.h"
#include "platform/unique_handle.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"

namespace telvo::windows {

namespace {

using winformat::Utf16ToDisplay;

platform::ExplicitAccess GrantEntry(std::uint32_t mask, std::uint32_t inheritance, const winformat::Sid& sid) {
    return {mask, platform::access_mode::kGrant, inheritance,
            platform::Trustee{platform::trustee_form::kIsSid, platform::trustee_type::kUnknown, sid}};
}

Result<void> MergeAndWrite(platform::Platform& platform, platform::Handle handle, const ObjectGrant& grant,
                           const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(ObjectDescriptor current, ReadRawDacl(platform, handle));
    TELVO_TRY(AclNamesSid(current.dacl(), sid));  // refuses entries that may hide the SID

    std::vector<platform::ExplicitAccess> entries{
        GrantEntry(grant.mask, grant_inheritance::kObjectsAndContainers, sid)};
    if (grant.inherit_only_delete) entries.push_back(GrantEntry(grant_mask::kDelete, grant_inheritance::kInheritOnly, sid));
    auto merged = platform.security.SetEntriesInAclW(entries, current.dacl().Serialize());
    if (!merged) return Fail("SetEntriesInAclW(object-local) failed: " + std::to_string(merged.error().code));
    auto acl = winformat::Acl::Parse(*merged);
    if (!acl) return Fail(std::move(acl.error()).Context("SetEntriesInAclW(object-local) returned an invalid ACL"));
    return WriteObjectLocalDacl(platform, lock, handle, current, *acl);
}

// What the cleanup makes of a DACL without changing it: clean when it names
// the SID nowhere (a null DACL included), unchangeable when an opaque entry
// may hide it; nothing when its entries name it and can be removed.
std::optional<CleanupFinding> SettledWithoutChange(const winformat::SecurityDescriptor& current,
                                                   const winformat::Sid& sid) {
    if (current.dacl.acl() == nullptr) return CleanupFinding::clean;
    switch (FindSidInAcl(*current.dacl.acl(), sid)) {
        case SidPresence::absent:
            return CleanupFinding::clean;
        case SidPresence::hidden:
            return CleanupFinding::unchangeable;
        case SidPresence::named:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<ObjectGrant> GrantFor(std::u16string_view object, const AuthorityAccess& authority) {
    const auto& privates = authority.private_paths;
    if (std::ranges::any_of(privates, [&](const winutil::LocalPath& path) { return path.Contains(object); })) {
        return std::nullopt;
    }
    if (!authority.writable) return ObjectGrant{grant_mask::kReadOnly, false};
    // No private path equals the object here, so containing one is being its proper ancestor.
    const bool is_protected =
        authority.root == object || std::ranges::any_of(privates, [&](const winutil::LocalPath& path) {
            return winutil::PathContains(object, path.wide());
        });
    if (is_protected) return ObjectGrant{grant_mask::kWritableProtected, true};
    return ObjectGrant{grant_mask::kWritable, false};
}

Result<void> GrantAuthorityAccess(platform::Platform& platform, std::u16string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid) {
    const auto grant = GrantFor(path, authority);
    if (!grant) return {};
    auto granted = MergeAndWrite(platform, handle, *grant, sid);
    if (!granted) return Fail(std::move(granted.error()).Context("could not grant " + Utf16ToDisplay(path)));
    return {};
}

Result<void> VerifyAuthorityGrant(platform::Platform& platform, std::u16string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(ObjectDescriptor current, ReadRawDacl(platform, handle));
    const auto grant = GrantFor(path, authority);
    if (!grant) {
        TELVO_TRY_ASSIGN(const bool named, AclNamesSid(current.dacl(), sid));
        if (named) return Fail("private object has an AppContainer ACE: " + Utf16ToDisplay(path));
        return {};
    }
    TELVO_TRY_ASSIGN(const SidAccess effective, SummarizeSidAces(current.dacl(), sid, false));
    TELVO_TRY_ASSIGN(const SidAccess all, SummarizeSidAces(current.dacl(), sid, true));
    const std::uint32_t expected_all = grant->mask | (authority.writable ? grant_mask::kDelete : 0);
    if (effective.allowed != grant->mask || effective.denied != 0 || all.allowed != expected_all) {
        return Fail("AppContainer grant does not match object policy: " + Utf16ToDisplay(path));
    }
    return {};
}

Result<CleanupFinding> RevokeAuthorityObject(platform::Platform& platform, const winutil::CleanupObject& object,
                                             const winformat::Sid& sid) {
    const auto revoke = [&]() -> Result<CleanupFinding> {
        TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
        TELVO_TRY_ASSIGN(winformat::SecurityDescriptor read, ReadRawDaclAsIs(platform, object.handle));
        if (const auto settled = SettledWithoutChange(read, sid)) return *settled;
        if (!object.write_dac) return CleanupFinding::unchangeable;
        const ObjectDescriptor current{std::move(read)};
        TELVO_TRY_ASSIGN(winformat::Acl remaining, RemoveSidAces(current.dacl(), sid));
        TELVO_TRY(WriteObjectLocalDacl(platform, lock, object.handle, current, remaining));
        return CleanupFinding::revoked;
    };
    auto revoked = revoke();
    if (!revoked) return Fail(std::move(revoked.error()).Context("revoke " + Utf16ToDisplay(object.path)));
    return revoked;
}

Result<CleanupFinding> VerifySidAbsent(platform::Platform& platform, const winutil::CleanupObject& object,
                                       const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(winformat::SecurityDescriptor current, ReadRawDaclAsIs(platform, object.handle));
    if (const auto settled = SettledWithoutChange(current, sid)) return *settled;
    // Whether this user could remove it: an object that refuses WRITE_DAC
    // was made during the run and is left.
    auto writable = winutil::NtOpenObjectNoFollow(platform, object.path, true);
    if (!writable && writable.error() == SysError::NtStatus(platform::ntstatus::kAccessDenied)) {
        return CleanupFinding::unchangeable;
    }
    if (writable) platform::UniqueHandle close(platform.kernel, *writable);
    return Fail("AppContainer SID ACE remains after cleanup on " + Utf16ToDisplay(object.path));
}

}  // namespace telvo::windows
