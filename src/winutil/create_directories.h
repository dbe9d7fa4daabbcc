#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// Creates a directory and every missing parent, from the volume root down.
// An existing directory is accepted; anything else in the way is an error.
// `path` is an absolute local-drive path (plain or extended form).
Result<void> CreateDirectoryWithParents(platform::Platform& platform, std::string_view path);

}  // namespace telvo::winutil
