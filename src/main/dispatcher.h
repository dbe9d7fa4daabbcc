#pragma once

#include <cstdint>
#include <optional>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::app {

// What the dispatcher hands back to the process entry: an exit code to
// report in an exit record, nothing (the mode reported on its own), or an error.
using DispatchOutcome = Result<std::optional<std::int32_t>>;

DispatchOutcome Dispatch(platform::Platform& platform);

}  // namespace telvo::app
