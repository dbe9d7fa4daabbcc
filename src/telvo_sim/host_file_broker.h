#pragma once

// The offline-network broker's state in a host file: the current boot
// (`boot`) and the filtering engine's lease filters (`wfp`).

#include <string>
#include <vector>

#include "common/json.h"
#include "telvo_sim/sim_broker.h"

namespace telvo::telvo_sim {

// {"id": UUID}: the boot identity, canonical lowercase UUID text.
Result<std::string> ReadBoot(const json::Node& node);
// What the filtering engine holds: whether the offline layout (its
// provider and sublayer) is installed, and the leases' filters.
struct WfpState {
    SimWfpLayout layout{false, false};
    std::vector<SimLease> leases;
};

// {"provider": bool, "sublayer": bool, "filters": [{"id", "slot", "lease":
// {"profile", "leaseId", "bootId", "state"}}]}: four filters a lease,
// grouped back into their leases in the order each lease first appears;
// each lease whole and consistent, and filters only under the whole layout.
Result<WfpState> ReadWfp(const json::Node& node);

json::Json WriteBoot(const SimBroker& broker);
json::Json WriteWfp(const SimBroker& broker);

}  // namespace telvo::telvo_sim
