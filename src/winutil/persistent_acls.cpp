#include "winutil/persistent_acls.h"

#include <string>

namespace telvo::winutil {

using namespace platform;

Result<void> RequirePersistentAcls(Files& files, Handle handle, std::string_view path) {
    auto volume = files.GetVolumeInformationByHandleW(handle);
    if (!volume) return FailSys("GetVolumeInformationByHandleW(" + std::string(path) + ")", volume.error());
    if (!(volume->file_system_flags & volume_flag::kPersistentAcls)) {
        return Fail("the filesystem does not provide persistent ACLs: " + std::string(path));
    }
    return {};
}

}  // namespace telvo::winutil
