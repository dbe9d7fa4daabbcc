#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace telvo::winformat {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 (FIPS 180-4) of a whole message.
Sha256Digest Sha256(std::span<const std::uint8_t> message);

}  // namespace telvo::winformat
