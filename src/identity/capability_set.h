#pragma once

#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/appcontainer.h"
#include "platform/sid_and_attributes.h"
#include "winformat/sid.h"

namespace telvo::identity {

// The capabilities every sandbox carries, in this order.
inline constexpr std::array<std::string_view, 6> kCapabilityNames{
    "registryRead",
    "lpacCom",
    "Telvo.Sandbox.SystemRootMetadata.v1",
    "Telvo.Sandbox.NullDevice.v1",
    "internetClientServer",
    "privateNetworkClientServer",
};

// The capability SIDs, owned by the set, and a parallel SID-and-attributes
// list that points at them, each entry enabled. Moving the set keeps the
// pointers valid (the SIDs stay where they are); copying is not allowed.
class CapabilitySet {
public:
    // An empty set: a profile created with no capabilities.
    CapabilitySet() = default;
    CapabilitySet(CapabilitySet&&) noexcept = default;
    CapabilitySet& operator=(CapabilitySet&&) noexcept = default;
    CapabilitySet(const CapabilitySet&) = delete;
    CapabilitySet& operator=(const CapabilitySet&) = delete;

    // Every name of kCapabilityNames through DeriveCapabilitySidsFromName.
    static Result<CapabilitySet> Resolve(platform::AppContainer& appcontainer);

    std::span<const winformat::Sid> sids() const { return sids_; }
    std::span<const platform::SidAndAttributes> entries() const { return entries_; }

private:
    void Append(winformat::Sid sid);

    std::vector<winformat::Sid> sids_;
    std::vector<platform::SidAndAttributes> entries_;
};

}  // namespace telvo::identity
