#pragma once

#include <cstdint>
#include <span>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::identity {

// Fills `bytes` from the system-preferred random number generator.
Result<void> FillRandom(platform::System& system, std::span<std::uint8_t> bytes);

}  // namespace telvo::identity
