#include "offline_network/lease_filter.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "common/try.h"
#include "offline_network/offline_layout.h"

namespace telvo::offline_network {

namespace {

using platform::WfpFilter;

std::string Hex(std::uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(value));
    return buffer;
}
using platform::WfpValue;

constexpr std::uint32_t kFlagsIndexed = platform::wfp_flag::kFilterPersistent | platform::wfp_flag::kFilterIndexed;

std::optional<std::size_t> SlotOfLayer(const platform::Guid& layer) {
    auto it = std::ranges::find(kSlotLayers, layer);
    if (it == kSlotLayers.end()) return std::nullopt;
    return static_cast<std::size_t>(it - kSlotLayers.begin());
}

void CheckWeight(std::vector<std::string>& items, std::string_view name, const WfpValue& weight) {
    if (weight.type == platform::wfp_type::kUint64 && weight.uint64 == kLeaseFilterWeight) return;
    items.push_back(std::string(name) + ": type=" + std::to_string(weight.type) +
                    ", uint64=" + std::to_string(weight.uint64) +
                    ", expectedType=" + std::to_string(platform::wfp_type::kUint64) +
                    ", expectedUint64=" + std::to_string(kLeaseFilterWeight));
}

// Every field of the shape but the condition's value and the record.
Result<void> CheckShape(const WfpFilter& filter, std::string_view slot) {
    std::vector<std::string> items;
    if (filter.provider_key != kProviderKey) items.emplace_back("providerKey mismatch");
    if (filter.sublayer_key != kSublayerKey) items.emplace_back("subLayerKey mismatch");
    if (!SlotOfLayer(filter.layer_key)) items.push_back("layerKey mismatch for slot=" + std::string(slot));
    if (filter.action_type != platform::wfp_action::kBlock) {
        items.push_back("action=" + Hex(filter.action_type) + ", expected=" + Hex(platform::wfp_action::kBlock));
    }
    if (filter.raw_context != 0) items.emplace_back("rawContext is nonzero");
    if (filter.num_filter_conditions != 1 || !filter.filter_condition) {
        items.push_back("condition count=" + std::to_string(filter.num_filter_conditions) +
                        ", pointerPresent=" + (filter.filter_condition ? "true" : "false"));
    }
    CheckWeight(items, "weight", filter.weight);
    CheckWeight(items, "effectiveWeight", filter.effective_weight);
    if (filter.filter_id == 0) items.emplace_back("filterId is zero");
    if (filter.display_data.name != std::u16string(kLeaseFilterName)) items.emplace_back("displayData.name mismatch");
    if (filter.display_data.description) items.emplace_back("displayData.description is present");
    if (filter.flags != platform::wfp_flag::kFilterPersistent && filter.flags != kFlagsIndexed) {
        items.push_back("flags=" + Hex(filter.flags) + ", expected=" + Hex(platform::wfp_flag::kFilterPersistent) +
                        " or " + Hex(kFlagsIndexed));
    }
    if (items.empty()) return {};
    std::string joined;
    for (const std::string& item : items) joined += (joined.empty() ? "" : "; ") + item;
    return Fail("offline lease filter has an unexpected policy shape (slot=" + std::string(slot) + "): " + joined);
}

std::string_view ProviderText(const WfpFilter& filter) {
    return {reinterpret_cast<const char*>(filter.provider_data.data()), filter.provider_data.size()};
}

// The slot named in messages: the layer's, else the one the record gives
// the filter's key, else "unknown".
std::string SlotText(const WfpFilter& filter) {
    if (auto slot = SlotOfLayer(filter.layer_key)) return std::to_string(*slot);
    if (auto record = DecodeLeaseRecord(ProviderText(filter))) {
        auto it = std::ranges::find(record->filter_keys, GuidText(filter.filter_key));
        if (it != record->filter_keys.end()) return std::to_string(it - record->filter_keys.begin());
    }
    return "unknown";
}

}  // namespace

platform::WfpFilter LeaseFilter(const platform::Guid& filter_key, std::size_t slot, const winformat::Sid& package,
                                std::string_view encoded) {
    WfpFilter filter;
    filter.filter_key = filter_key;
    filter.display_data = {std::u16string(kLeaseFilterName), std::nullopt};
    filter.flags = platform::wfp_flag::kFilterPersistent;
    filter.provider_key = kProviderKey;
    filter.provider_data.assign(encoded.begin(), encoded.end());
    filter.layer_key = kSlotLayers[slot];
    filter.sublayer_key = kSublayerKey;
    filter.weight = WfpValue{platform::wfp_type::kUint64, kLeaseFilterWeight, {}};
    filter.num_filter_conditions = 1;
    filter.filter_condition = std::vector<platform::WfpCondition>{
        {platform::wfp_guid::kConditionAlePackageId, platform::kFwpMatchEqual,
         WfpValue{platform::wfp_type::kSid, 0, {package.bytes().begin(), package.bytes().end()}}}};
    filter.action_type = platform::wfp_action::kBlock;
    filter.raw_context = 0;
    return filter;
}

Result<ValidatedFilter> ValidateLeaseFilter(platform::AppContainer& appcontainer, const platform::WfpFilter& filter) {
    TELVO_TRY(CheckShape(filter, SlotText(filter)));
    const std::size_t slot = *SlotOfLayer(filter.layer_key);
    const platform::WfpCondition& condition = filter.filter_condition->front();
    if (condition.field_key != platform::wfp_guid::kConditionAlePackageId ||
        condition.match_type != platform::kFwpMatchEqual || condition.condition_value.type != platform::wfp_type::kSid) {
        return Fail("offline filter does not match exact package SID");
    }
    const std::string_view stored = ProviderText(filter);
    TELVO_TRY_ASSIGN(LeaseRecord record, DecodeLeaseRecord(stored));
    TELVO_TRY_ASSIGN(const std::string encoded, EncodeLeaseRecord(appcontainer, record));
    if (encoded != stored) return Fail("noncanonical offline lease provider data");
    auto package = winformat::Sid::FromBytes(condition.condition_value.sid);
    if (!package || package->ToString() != record.package_sid) {
        return Fail("offline filter package SID differs from lease");
    }
    if (record.filter_keys[slot] != GuidText(filter.filter_key)) return Fail("lease record does not name this filter");
    return ValidatedFilter{slot, std::move(record)};
}

}  // namespace telvo::offline_network
