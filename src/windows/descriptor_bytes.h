#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/error.h"
#include "winformat/security_descriptor.h"

namespace telvo::windows {

// A self-relative descriptor that a security call handed out. Bytes that do
// not parse fail as the Win32 call that would have walked them
// ("<operation> failed with Win32 error 1338"), with the reason as the cause.
Result<winformat::SecurityDescriptor> ParseDescriptor(std::span<const std::uint8_t> bytes, std::string_view operation);

}  // namespace telvo::windows
