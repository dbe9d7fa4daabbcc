#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// Creates the directory a normalized local path names together with every
// missing ancestor. An existing directory is accepted; an existing file in
// its place fails with ERROR_ALREADY_EXISTS.
Result<void> CreateDirectories(platform::Platform& platform, std::string_view path);

}  // namespace telvo::winutil
