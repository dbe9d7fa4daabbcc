#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::identity {

// "Telvo.Sandbox." followed by 32 hexadecimal digits. The name is also the
// profile's display name and description.
inline constexpr std::string_view kProfileNamePrefix = "Telvo.Sandbox.";
inline constexpr std::size_t kProfileNameDigits = 32;
inline constexpr std::size_t kProfileNameLength = kProfileNamePrefix.size() + kProfileNameDigits;

// A fresh name from 128 random bits, with lower-case digits.
Result<std::string> NewProfileName(platform::System& system);

// Accepts digits of either case; names read back from a journal or a broker
// request pass through here too.
Result<void> ValidateProfileName(std::string_view name);

}  // namespace telvo::identity
