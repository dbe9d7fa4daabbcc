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

namespace group_attribute {
inline constexpr std::uint32_t kEnabled = 0x00000004;  // SE_GROUP_ENABLED
}  // namespace group_attribute

}  // namespace telvo::platform
