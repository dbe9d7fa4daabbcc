#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::winutil {

// The canonical form (\\?\X:\..., through reparse points, in the real case) of
// an absolute local-drive path from the controller. `label` names the request
// field in messages.
Result<std::string> ResolveUserPath(platform::Platform& platform, std::string_view label, std::string_view text);

}  // namespace telvo::winutil
