#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/appcontainer.h"
#include "platform/system.h"
#include "winformat/sid.h"

namespace telvo::identity {

// Identifier text: hexadecimal digits, random bytes, canonical UUIDs and SID text.

inline bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
inline bool IsHexDigit(char c) { return IsLowerHexDigit(c) || (c >= 'A' && c <= 'F'); }

// Each byte, in order, as two lower-case hexadecimal digits.
void AppendLowerHex(std::string& out, std::span<const std::uint8_t> bytes);

// Fills `bytes` from BCryptGenRandom with the system-preferred generator;
// "BCryptGenRandom failed with NTSTATUS 0x<8 hex digits>" otherwise.
Result<void> FillRandom(platform::System& system, std::span<std::uint8_t> bytes);

// A 128-bit identifier, the 32 digits of its text read as one number.
struct Uuid {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const Uuid&) const = default;
};

// 36 characters: lower-case hexadecimal digits with '-' at 8, 13, 18 and 23
// ("expected a canonical lowercase UUID"); the value must not be zero
// ("zero UUID is not an identity").
Result<Uuid> ParseCanonicalUuid(std::string_view text);

// A fresh random (version 4) UUID as canonical text.
Result<std::string> NewUuidText(platform::System& system);

// The SID's text as Windows writes it ("S-1-15-2-..."), from ConvertSidToStringSidW.
Result<std::string> SidToString(platform::AppContainer& appcontainer, const winformat::Sid& sid);

}  // namespace telvo::identity
