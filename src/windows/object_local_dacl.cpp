#include "windows/object_local_dacl.h"

#include "common/try.h"
#include "platform/security.h"
#include "windows/metadata_lock.h"
#include "windows/raw_dacl.h"

namespace telvo::windows {

namespace {

namespace control = winformat::sd_control;

std::uint16_t PreservedControl(std::uint16_t had) {
    auto kept = static_cast<std::uint16_t>(had & (control::kDaclProtected | control::kDaclAutoInherited |
                                                  control::kDaclDefaulted));
    if (had & (control::kDaclAutoInheritReq | control::kDaclAutoInherited)) kept |= control::kDaclAutoInheritReq;
    return kept;
}

}  // namespace

Result<void> WriteObjectLocalDacl(platform::Platform& platform, platform::Handle handle, const winformat::Acl& acl) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    winformat::SecurityDescriptor next;
    next.control = PreservedControl(current.descriptor.control);
    next.dacl = winformat::AclSlot(acl);
    auto set = platform.security.NtSetSecurityObject(handle, platform::security_information::kDacl,
                                                     next.ToSelfRelative());
    if (!set) return FailSys("NtSetSecurityObject", set.error());
    return {};
}

}  // namespace telvo::windows
