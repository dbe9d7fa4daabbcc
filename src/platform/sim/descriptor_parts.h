#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.h"

namespace telvo::platform::sim {

// The parts of a stored self-relative descriptor that a query asked for
// (SECURITY_INFORMATION bits), as a new self-relative descriptor. Assumed, as
// Windows does it: parts not asked for are absent, and the control word keeps
// only the bits that belong to the returned parts. A stored descriptor that
// does not parse fails with ERROR_INVALID_SECURITY_DESCR (1338).
Result<std::vector<std::uint8_t>> SelectDescriptorParts(std::span<const std::uint8_t> stored,
                                                         std::uint32_t requested_information);

}  // namespace telvo::platform::sim
