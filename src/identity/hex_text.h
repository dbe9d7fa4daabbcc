#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace telvo::identity {

inline bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
inline bool IsHexDigit(char c) { return IsLowerHexDigit(c) || (c >= 'A' && c <= 'F'); }

// Each byte, in order, as two lower-case hexadecimal digits.
inline void AppendLowerHex(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const std::uint8_t byte : bytes) {
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0x0F];
    }
}

}  // namespace telvo::identity
