#pragma once

// The filtering engine's part of a host file: the boot it runs in (`boot`)
// and what it holds of the offline network (`wfp`): the offline layout and
// the leases' filters. Both are real objects of the host's engine, put
// there by the product's own code as LocalSystem, and read back from it as
// the service reads them.

#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "offline_network/lease_record.h"
#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim {

// The boot of a host file that leaves `boot` out.
inline constexpr std::string_view kDefaultBootId = "2f5d0c6e-8a41-4b7e-9d3c-51a0e6b4c7f2";
// The caller of a lease that leaves it out: a process that no longer runs.
inline constexpr std::uint32_t kDefaultCallerPid = 1;
inline constexpr std::uint64_t kDefaultCallerCreation = 1;

// {"id": UUID}: the boot identity, canonical lowercase UUID text.
Result<platform::Guid> ReadBoot(const json::Node& node);

// What the file says the filtering engine holds.
struct WfpState {
    bool provider = false;
    bool sublayer = false;
    // Whole records but for the package SID, which the host derives.
    std::vector<offline_network::LeaseRecord> leases;
};

// {"provider": bool, "sublayer": bool, "filters": [{"id", "key", "slot",
// "lease": {"profile", "leaseId", "bootId", "ownerSid", "callerPid",
// "callerCreation", "state"}}]}: four filters a lease, grouped back into
// their records in the order each lease first appears. A filter's `id` is
// informational (the engine gives runtime ids); a missing `key` is derived
// from the lease id and the slot, a missing `ownerSid` is `owner_sid`, a
// missing caller is the default above. `state` may be left out or be
// "retained"; "active" is refused: an active lease is a live registration
// of the running service, which a file cannot hold.
Result<WfpState> ReadWfp(const json::Node& node, const std::string& owner_sid);

// Puts the boot and `state` into the host's engine: a LocalSystem process
// of the host installs the layout (and takes the sublayer away again for a
// provider alone) and each lease with the product's own code, a lease of
// another boot as it was installed in its boot.
Result<void> InstallWfpState(platform::sim::SimHost& host, const platform::Guid& boot, const WfpState& state);

json::Json WriteBoot(platform::sim::SimHost& host);
// The layout and every lease's filters as the service enumerates them.
Result<json::Json> WriteWfp(platform::sim::SimHost& host);

}  // namespace telvo::telvo_sim
