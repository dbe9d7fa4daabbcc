#pragma once

#include <cstdint>

#include "common/error.h"
#include "platform/platform.h"
#include "protocol/request.h"

namespace telvo::windows {

// Carries out one controller request: the sandboxed command's exit code for
// a run, 0 for a recovery.
Result<std::int32_t> ExecuteRequest(platform::Platform& platform, const protocol::Request& request);

}  // namespace telvo::windows
