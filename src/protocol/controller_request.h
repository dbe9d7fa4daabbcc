#pragma once

#include <cstdint>

#include "common/error.h"
#include "platform/platform.h"
#include "protocol/request.h"

namespace telvo::protocol {

inline constexpr std::uint32_t kMaxRequestLength = 1048576;

// Reads one framed request from standard input (under its lock), decodes it
// and checks its version. Reads nothing after the body: standard input stays
// open for the parent-death monitor.
Result<Request> ReadControllerRequest(platform::Platform& platform);

}  // namespace telvo::protocol
