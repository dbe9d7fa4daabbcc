#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::identity {

// A 128-bit identifier, the 32 digits of its text read as one number.
struct Uuid {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const Uuid&) const = default;
};

// 36 characters: lower-case hexadecimal digits with '-' at 8, 13, 18 and 23;
// the value must not be zero.
Result<Uuid> ParseCanonicalUuid(std::string_view text);

// A fresh random (version 4) UUID as canonical text.
Result<std::string> NewUuidText(platform::System& system);

}  // namespace telvo::identity
