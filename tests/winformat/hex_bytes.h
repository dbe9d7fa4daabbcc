#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace telvo::winformat::testing {

// Bytes from hexadecimal text; spaces and line breaks between pairs are ignored.
inline std::vector<std::uint8_t> Hex(std::string_view text) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("bad hex digit in test vector");
    };
    std::vector<std::uint8_t> out;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\n') continue;
        if (high < 0) {
            high = digit(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | digit(c)));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits in test vector");
    return out;
}

}  // namespace telvo::winformat::testing
