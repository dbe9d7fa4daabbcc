#pragma once

#include <cstdint>

#include "winformat/sid.h"

namespace telvo::platform {

// SID_AND_ATTRIBUTES: a SID that the caller owns and keeps alive for the
// call, with its group attributes.
struct SidAndAttributes {
    const winformat::Sid* sid = nullptr;
    std::uint32_t attributes = 0;
};

// SE_GROUP_* attribute bits.
namespace group_attribute {
inline constexpr std::uint32_t kMandatory = 0x00000001;
inline constexpr std::uint32_t kEnabledByDefault = 0x00000002;
inline constexpr std::uint32_t kEnabled = 0x00000004;
inline constexpr std::uint32_t kOwner = 0x00000008;
inline constexpr std::uint32_t kUseForDenyOnly = 0x00000010;
inline constexpr std::uint32_t kIntegrity = 0x00000020;
inline constexpr std::uint32_t kIntegrityEnabled = 0x00000040;
inline constexpr std::uint32_t kLogonId = 0xC0000000;
}  // namespace group_attribute

}  // namespace telvo::platform
