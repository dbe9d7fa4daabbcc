#include "windows/metadata_ancestor.h"

#include <string>

#include "common/try.h"
#include "platform/security.h"
#include "windows/current_user_sid.h"
#include "windows/descriptor_bytes.h"
#include "windows/metadata_lock.h"
#include "winutil/final_path.h"
#include "winutil/object_open.h"
#include "winutil/stable_identity.h"

namespace telvo::windows {

namespace {

Result<winformat::Sid> OwnerOf(platform::Platform& platform, platform::Handle handle) {
    auto bytes = platform.security.GetSecurityInfo(handle, platform::se_object_type::kFileObject,
                                                   platform::security_information::kOwner);
    if (!bytes) return FailSys("GetSecurityInfo(metadata owner)", bytes.error());
    TELVO_TRY_ASSIGN(auto descriptor, ParseDescriptor(*bytes, "GetSecurityInfo(metadata owner)"));
    if (!descriptor.owner) return Fail("metadata directory has no owner");
    return std::move(*descriptor.owner);
}

}  // namespace

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
