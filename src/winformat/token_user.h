#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "winformat/sid.h"

namespace telvo::winformat {

// The user SID of a TOKEN_USER buffer as GetTokenInformation filled it: the
// SID pointer must point inside the buffer at a valid SID that fits in it.
// Nothing when the buffer is too short, the pointer is null or points elsewhere.
std::optional<Sid> SidOfTokenUser(std::span<const std::uint8_t> buffer);

}  // namespace telvo::winformat
