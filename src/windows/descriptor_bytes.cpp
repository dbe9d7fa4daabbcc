#include "windows/descriptor_bytes.h"

namespace telvo::windows {

namespace {
constexpr std::uint32_t kInvalidSecurityDescriptor = 1338;  // ERROR_INVALID_SECURITY_DESCR
}

Result<winformat::SecurityDescriptor> ParseDescriptor(std::span<const std::uint8_t> bytes, std::string_view operation) {
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!parsed) {
        return Fail(std::move(parsed.error()).Context(Error::Win32(operation, kInvalidSecurityDescriptor).message()));
    }
    return parsed;
}

}  // namespace telvo::windows
