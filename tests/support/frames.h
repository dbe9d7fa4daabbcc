#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telvo::testing {

// A controller frame: the 4-byte little-endian length, then the body.
inline std::string Frame(std::string_view body) {
    const auto length = static_cast<std::uint32_t>(body.size());
    std::string frame;
    for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    frame.append(body);
    return frame;
}

inline std::string LengthPrefix(std::uint32_t length) {
    std::string prefix;
    for (int shift = 0; shift < 32; shift += 8) prefix.push_back(static_cast<char>((length >> shift) & 0xFF));
    return prefix;
}

inline constexpr std::string_view kRunBody =
    R"({"operation":"run","protocolVersion":1,"command":"echo hi","cwd":"C:\\work","root":"C:\\work",)"
    R"("mode":"workspace-write","readableRoots":["C:\\tools"],"privatePaths":["C:\\work\\.git"],)"
    R"("networkAccess":false})";

inline constexpr std::string_view kRecoverBody = R"({"operation":"recover","protocolVersion":1})";

}  // namespace telvo::testing
