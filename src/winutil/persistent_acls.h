#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/files.h"

namespace telvo::winutil {

// The volume of the open object keeps ACLs (FILE_PERSISTENT_ACLS); `path` is for messages.
Result<void> RequirePersistentAcls(platform::Files& files, platform::Handle handle, std::string_view path);

}  // namespace telvo::winutil
