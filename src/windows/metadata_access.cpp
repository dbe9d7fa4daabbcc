#include "windows/metadata_access.h"

#include <string>

#include "common/try.h"
#include "platform/security.h"
#include "windows/current_user_sid.h"
#include "windows/global_locks.h"
#include "windows/object_dacl.h"
#include "winutil/object_open.h"

namespace telvo::windows {

namespace {

using winformat::Ace;
using winformat::Acl;

constexpr std::size_t kMaxBytesWithSid = 0xFFF7;

// The DACL with the entry inserted before its first inherited entry.
Result<Acl> WithMetadataReadAce(const Acl& dacl, const winformat::Sid& sid) {
    const std::size_t in_use = dacl.bytes_in_use();
    if (in_use + sid.size() > kMaxBytesWithSid) return Fail("system-root DACL is too large for metadata preparation");
    auto next = Acl::Create(in_use + sid.size() + 8, dacl.revision());
    if (!next) return FailSys("InitializeAcl(host preparation)", next.error());
    bool inserted = false;
    const auto insert = [&]() -> Result<void> {
        if (auto added = next->Append(Ace::Allowed(kMetadataReadMask, sid)); !added) {
            return FailSys("AddAccessAllowedAce(host preparation)", added.error());
        }
        inserted = true;
        return {};
    };
    for (const Ace& ace : dacl.aces()) {
        if (!inserted && (ace.flags() & winformat::ace_flag::kInherited)) TELVO_TRY(insert());
        if (auto copied = next->Append(ace); !copied) return FailSys("AddAce(host preparation copy)", copied.error());
    }
    if (!inserted) TELVO_TRY(insert());
    return std::move(*next);
}

Result<winformat::Sid> OwnerOf(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(auto bytes, Lift("GetSecurityInfo(metadata owner)",
                                      platform.security.GetSecurityInfo(handle, platform::se_object_type::kFileObject,
                                                                        platform::security_information::kOwner)));
    TELVO_TRY_ASSIGN(auto descriptor, ParseDescriptor(bytes, "GetSecurityInfo(metadata owner)"));
    if (!descriptor.owner) return Fail("metadata directory has no owner");
    return std::move(*descriptor.owner);
}

}  // namespace

Result<bool> MetadataReadAcePresent(const Acl& dacl, const winformat::Sid& sid) {
    int found = 0;
    for (const Ace& ace : dacl.aces()) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(ace, sid));
        if (!named) continue;
        if (ace.type() != winformat::ace_type::kAccessAllowed || ace.flags() != 0 || ace.mask() != kMetadataReadMask ||
            ++found > 1) {
            return Fail("conflicting system-root capability ACE; no permissions changed");
        }
    }
    return found == 1;
}

Result<bool> SetMetadataReadAce(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid,
                                bool wanted) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(ObjectDescriptor current, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(const bool present, MetadataReadAcePresent(current.dacl(), sid));
    if (present == wanted) return false;

    TELVO_TRY_ASSIGN(const Acl next, wanted ? WithMetadataReadAce(current.dacl(), sid) : RemoveSidAces(current.dacl(), sid));
    TELVO_TRY(WriteObjectLocalDacl(platform, lock, handle, current, next));
    TELVO_TRY_ASSIGN(ObjectDescriptor after, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(const bool now, MetadataReadAcePresent(after.dacl(), sid));
    if (now != wanted) return Fail("system-root metadata read-back did not match the requested state");
    return true;
}

Result<MetadataWriteDac> OpenMetadataAncestorForWriteDac(platform::Platform& platform, std::string_view path,
                                                         platform::Handle earlier) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, earlier, path));
    TELVO_TRY_ASSIGN(const winformat::Sid caller, CurrentUserSid(platform));
    TELVO_TRY_ASSIGN(const winformat::Sid owner, OwnerOf(platform, earlier));

    auto opened = winutil::OpenObjectNoFollow(platform, path, true);
    if (!opened) {
        return Fail(std::move(opened.error())
                        .Context("metadata WRITE_DAC unavailable; ownerSid=" + owner.ToString() +
                                 ", callerSid=" + caller.ToString() + ", requiredAccess=0x60000"));
    }
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, opened->get(), path));
    TELVO_TRY_ASSIGN(const auto before, winutil::StableIdentity(platform.files, earlier, path));
    TELVO_TRY_ASSIGN(const auto now, winutil::StableIdentity(platform.files, opened->get(), path));
    if (before != now) return Fail("metadata ancestor identity changed before WRITE_DAC");
    return MetadataWriteDac{std::move(lock), std::move(*opened)};
}

}  // namespace telvo::windows
