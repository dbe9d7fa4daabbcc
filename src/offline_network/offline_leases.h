#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/error.h"
#include "offline_network/lease_record.h"
#include "platform/platform.h"

namespace telvo::offline_network {

// Offline leases: four persistent blocking filters each, found, added and
// deleted in the filtering engine alone.

inline constexpr std::size_t kMaxOfflineLeases = 4096;
inline constexpr std::uint32_t kFilterEnumBatch = 256;
inline constexpr std::size_t kMaxEnumeratedFilters = 100000;

struct OfflineLease {
    LeaseRecord record;
    std::array<std::uint64_t, kFilterSlots> filter_ids{};  // runtime IDs in slot order
    bool operator==(const OfflineLease&) const = default;
};

// Every lease of the layout, inside the caller's transaction: each filter
// of the layout validated, grouped by record, each lease whole, one lease a
// package. Leases come in the order of their first filter.
Result<std::vector<OfflineLease>> EnumerateOfflineLeases(platform::Platform& platform, platform::WfpEngine engine);

// Installs the record's four filters (or finds them installed exactly) in
// one transaction; returns their IDs in slot order.
Result<std::array<std::uint64_t, kFilterSlots>> InstallOfflineLease(platform::Platform& platform,
                                                                    const LeaseRecord& record);

// Deletes the record's four filters in one transaction and proves the lease gone.
Result<void> RemoveOfflineLease(platform::Platform& platform, const LeaseRecord& record);

}  // namespace telvo::offline_network
