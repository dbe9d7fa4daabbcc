#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// The names in an open directory, in the order the file system enumerates
// them, without "." and "..". The listing goes through a second handle to the
// same object (ReOpenFile for FILE_LIST_DIRECTORY, which the first handle may
// lack), so it lists exactly the directory the caller holds, and that handle
// is closed before returning. At most `max_names` names are read.
Result<std::vector<std::string>> ListDirectory(platform::Platform& platform, platform::Handle directory,
                                               std::size_t max_names);

}  // namespace telvo::winutil
