#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::offline_network {

// The offline layout: the fixed provider and, under it, the sublayer that
// hold every lease's filters; the same in every installation.

// d46c4bb0-648d-4234-8163-faf9f795547c
inline constexpr platform::Guid kProviderKey = {0xb0, 0x4b, 0x6c, 0xd4, 0x8d, 0x64, 0x34, 0x42,
                                                0x81, 0x63, 0xfa, 0xf9, 0xf7, 0x95, 0x54, 0x7c};
// b4eccee6-16b6-4b64-b083-15e3289d7ade
inline constexpr platform::Guid kSublayerKey = {0xe6, 0xce, 0xec, 0xb4, 0xb6, 0x16, 0x64, 0x4b,
                                                0xb0, 0x83, 0x15, 0xe3, 0x28, 0x9d, 0x7a, 0xde};
inline constexpr std::u16string_view kProviderName = u"Telvo offline network v1";
inline constexpr std::u16string_view kSublayerName = u"Telvo package offline isolation v1";
inline constexpr std::u16string_view kServiceName = u"TelvoOfflineNetwork";
// Provider data of the provider and the sublayer: 30 ASCII bytes, no terminator.
inline constexpr std::string_view kLayoutProviderData = "Telvo.OfflineNetwork.Policy.v1";
inline constexpr std::uint16_t kSublayerWeight = 0xFFFF;
// The descriptor of every object of the layout: owner and group
// Administrators, protected DACL with full WFP rights for LocalSystem and
// Administrators and read-only rights for Authenticated Users.
inline constexpr std::string_view kLayoutSecurity =
    "O:BAG:BAD:P(A;;0x000f07ff;;;SY)(A;;0x000f07ff;;;BA)(A;;0x00020080;;;AU)";

// The self-relative form of kLayoutSecurity ("offline network security
// descriptor" over the reason when it cannot be built).
Result<std::vector<std::uint8_t>> LayoutSecurityDescriptor();

// Installs the provider and the sublayer when neither exists; verifies and
// keeps them when both do; refuses a partial layout. One transaction.
Result<void> InstallOfflineLayout(platform::Platform& platform);

// Proves, inside the caller's transaction, that the provider and the
// sublayer exist exactly as fixed, with the fixed descriptor.
Result<void> VerifyOfflineLayout(platform::Wfp& wfp, platform::WfpEngine engine);

// How many leases the layout holds, inside a transaction of its own that
// changes nothing: nothing when the layout is absent; a partial or differing
// layout is reported.
Result<std::optional<std::size_t>> OfflineLayoutLeaseCount(platform::Platform& platform);

// Removes the layout when it holds no lease; an absent layout is removed
// already; a partial or differing one is reported and kept.
Result<void> RemoveOfflineLayout(platform::Platform& platform);

}  // namespace telvo::offline_network
