#pragma once

#include <cstdint>
#include <optional>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::app {

// What the dispatcher hands back to the process entry: an exit code to
// report in an exit record, nothing (the mode reported on its own), or an error.
using DispatchOutcome = Result<std::optional<std::int32_t>>;

// Chooses the mode from the process's command line and runs it: controller
// mode reads and carries out one request, service mode hands the process to
// the Service Control Manager, a host command runs its operation.
DispatchOutcome Dispatch(platform::Platform& platform);

}  // namespace telvo::app
