#include "windows/state_directory.h"

#include <vector>

#include "common/try.h"
#include "platform/security.h"
#include "windows/current_user_sid.h"
#include "windows/object_dacl.h"
#include "windows/global_locks.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"
#include "winutil/directory_chain.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"

namespace telvo::windows {

namespace {

namespace info = platform::security_information;

using platform::file_access::kFileAllAccess;
constexpr std::uint32_t kObjectAndContainerInherit =
    winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;

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

// The LocalAppData known folder, canonical: an existing directory on a local
// drive that is no link.
Result<std::string> LocalAppData(platform::Platform& platform) {
    auto folder = platform.system.SHGetKnownFolderPath(platform::known_folder::kLocalAppData, 0);
    if (!folder || folder->empty()) {
        return Fail(Error::HResult("SHGetKnownFolderPath(LocalAppData)", folder ? 0 : folder.error().code));
    }
    const auto text = winformat::Utf16ToUtf8(*folder);
    const auto ordinary = [&]() -> bool {
        if (!text || !winutil::IsNormalizedLocalPath(*text)) return false;
        auto handle = winutil::OpenObjectNoFollow(platform, std::u16string_view(*folder), false);
        if (!handle) return false;
        auto info = winutil::ReadFileInformation(platform.files, handle->get());
        return info && (info->file_attributes & platform::file_attribute::kDirectory) &&
               !(info->file_attributes & platform::file_attribute::kReparsePoint);
    }();
    if (!ordinary) return Fail("the LocalAppData known folder is not an ordinary absolute local directory");
    auto canonical = winutil::Canonicalize(platform, *folder);
    if (!canonical) return Fail(std::move(canonical.error()).Context("could not canonicalize LocalAppData " + *text));
    return winformat::Utf16ToUtf8(canonical->path);
}

// The user alone, with full access inherited by everything below.
Result<std::vector<std::uint8_t>> StateDacl(platform::Platform& platform, const winformat::Sid& user) {
    const std::vector<platform::ExplicitAccess> entries{
        {kFileAllAccess, platform::access_mode::kSet, kObjectAndContainerInherit,
         platform::Trustee{platform::trustee_form::kIsSid, platform::trustee_type::kUnknown, user}}};
    auto dacl = platform.security.SetEntriesInAclW(entries, {});
    if (!dacl) return FailSys("SetEntriesInAclW(state directory)", dacl.error());
    return std::move(*dacl);
}

// Owned by the user, named explicitly: the token's default owner is
// Administrators for an elevated administrator, and the owner check would
// then refuse the directory on this and every later request.
Result<std::vector<std::uint8_t>> NewStateDescriptor(platform::Platform& platform) {
    TELVO_TRY_ASSIGN(const winformat::Sid user, CurrentUserSid(platform));
    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> dacl_bytes, StateDacl(platform, user));
    auto dacl = winformat::Acl::Parse(dacl_bytes);
    if (!dacl) return Fail("SetEntriesInAclW(state directory) returned an invalid ACL");
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = user;
    descriptor.control = winformat::sd_control::kDaclProtected;
    descriptor.dacl = winformat::AclSlot(std::move(*dacl));
    return descriptor.ToSelfRelative();
}

// Creates the directory under the metadata lock; one that exists already is
// taken as it is (SecureStateDirectory then proves and narrows it).
Result<void> CreateStateDirectory(platform::Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(const std::u16string wide, winformat::Utf8ToUtf16(path));
    auto descriptor = NewStateDescriptor(platform);
    if (!descriptor) return Fail(std::move(descriptor.error()).Context("initialize state directory security"));
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    auto created = platform.files.CreateDirectoryW(wide, *descriptor);
    if (created || created.error() == SysError::Win32(platform::win32_error::kAlreadyExists)) return {};
    return Fail(Error::FromSys("CreateDirectoryW(state directory)", created.error())
                    .Context("could not create recovery directory " + path));
}

}  // namespace

Result<std::string> PrepareStateDirectory(platform::Platform& platform) {
    TELVO_TRY_ASSIGN(const std::string local_app_data, LocalAppData(platform));
    const std::string joined = local_app_data + "\\" + kStateDirectoryName;
    TELVO_TRY(CreateStateDirectory(platform, joined));

    TELVO_TRY_ASSIGN(const std::u16string wide, winformat::Utf8ToUtf16(joined));
    auto canonical = winutil::Canonicalize(platform, wide);
    if (!canonical) return Fail(std::move(canonical.error()).Context("could not canonicalize recovery directory " + joined));
    TELVO_TRY_ASSIGN(std::string path, winformat::Utf16ToUtf8(canonical->path));
    auto chain = winutil::OpenDirectoryChain(platform, path, true);
    if (!chain) {
        return Fail(std::move(chain.error()).Context("the Windows sandbox state ancestry has no stable identity: " + path));
    }
    TELVO_TRY(SecureStateDirectory(platform, chain->entries.back().handle.get()));
    return path;
}

Result<void> SecureStateDirectory(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(const winformat::Sid user, CurrentUserSid(platform));
    TELVO_TRY_ASSIGN(const auto owned, ReadParts(platform, handle, info::kOwner, "GetSecurityInfo(owner)"));
    if (!owned.owner || *owned.owner != user) {
        return Fail("the Windows sandbox state directory is not owned by the current account");
    }

    TELVO_TRY_ASSIGN(const std::vector<std::uint8_t> dacl, StateDacl(platform, user));
    auto set = platform.security.SetSecurityInfo(handle, platform::se_object_type::kFileObject,
                                                 info::kDacl | info::kProtectedDacl, dacl);
    if (!set) return FailSys("SetSecurityInfo(state directory)", set.error());

    TELVO_TRY_ASSIGN(const auto written, ReadParts(platform, handle, info::kDacl, "GetSecurityInfo"));
    return CheckStateDacl(written, user);
}

}  // namespace telvo::windows
