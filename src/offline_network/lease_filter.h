#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "common/error.h"
#include "offline_network/lease_record.h"
#include "platform/appcontainer.h"
#include "platform/wfp.h"
#include "winformat/sid.h"

namespace telvo::offline_network {

// The shape of a lease's filters: one per slot, on the ALE authorization
// layers, blocking every connection of one package.

inline constexpr std::array<platform::Guid, kFilterSlots> kSlotLayers{
    platform::wfp_guid::kLayerAleAuthConnectV4, platform::wfp_guid::kLayerAleAuthConnectV6,
    platform::wfp_guid::kLayerAleAuthRecvAcceptV4, platform::wfp_guid::kLayerAleAuthRecvAcceptV6};
inline constexpr std::u16string_view kLeaseFilterName = u"Telvo offline package lease v1";
inline constexpr std::uint64_t kLeaseFilterWeight = 0xFFFFFFFFFFFFFFFF;

// The filter of `slot` for a record whose key text was checked, carrying
// `encoded` (the encoded record) as its provider data.
platform::WfpFilter LeaseFilter(const platform::Guid& filter_key, std::size_t slot, const winformat::Sid& package,
                                std::string_view encoded);

// What a filter of the layout proves: its slot and the lease record it carries.
struct ValidatedFilter {
    std::size_t slot = 0;
    LeaseRecord record;
};

// Compares every field of the filter with the shape (all mismatches at
// once), then its condition, its record (decoded, checked, and re-encoded to
// exactly the stored bytes) and its key against the record.
Result<ValidatedFilter> ValidateLeaseFilter(platform::AppContainer& appcontainer, const platform::WfpFilter& filter);

}  // namespace telvo::offline_network
