#pragma once

#include <cstdint>
#include <optional>

#include "common/error.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::winformat {

// Policy bits in the mask of a SYSTEM_MANDATORY_LABEL ACE.
namespace mandatory_policy {
inline constexpr std::uint32_t kNoWriteUp = 0x1;
inline constexpr std::uint32_t kNoReadUp = 0x2;
inline constexpr std::uint32_t kNoExecuteUp = 0x4;
inline constexpr std::uint32_t kValidMask = 0x7;
}  // namespace mandatory_policy

// The RID of a label SID S-1-16-<rid>.
namespace integrity_rid {
inline constexpr std::uint32_t kUntrusted = 0x0000;
inline constexpr std::uint32_t kLow = 0x1000;
inline constexpr std::uint32_t kMedium = 0x2000;
inline constexpr std::uint32_t kMediumPlus = 0x2100;
inline constexpr std::uint32_t kHigh = 0x3000;
inline constexpr std::uint32_t kSystem = 0x4000;
inline constexpr std::uint32_t kProtectedProcess = 0x5000;
}  // namespace integrity_rid

Sid IntegrityLevelSid(std::uint32_t rid);
Ace MandatoryLabelAce(std::uint32_t rid, std::uint32_t policy, std::uint8_t flags = 0);

struct MandatoryLabel {
    std::uint32_t integrity_rid = 0;
    std::uint32_t policy = 0;
    bool operator==(const MandatoryLabel&) const = default;
};

// The label that governs the object itself: the first mandatory-label ACE of
// the SACL that is not inherit-only, or none. A label ACE whose SID is not an
// integrity level SID is an error.
Result<std::optional<MandatoryLabel>> FindMandatoryLabel(const SecurityDescriptor& sd);

}  // namespace telvo::winformat
