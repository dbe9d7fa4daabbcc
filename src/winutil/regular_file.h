#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::winutil {

// Opens a regular file for reading (standard read rights, sharing read only,
// not following a reparse point) and proves that it is the file `path` names,
// not a reparse point, not hard-linked and not a directory.
Result<platform::UniqueHandle> OpenRegularFileForRead(platform::Platform& platform, std::string_view path);

}  // namespace telvo::winutil
