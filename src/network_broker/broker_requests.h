#pragma once

#include "common/error.h"
#include "network_broker/broker_state.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// Serves the one client connected to `pipe`: reads one request, authenticates
// the client, answers one reply, and returns once the client has read it (or
// the exchange's deadline has passed). The error it returns is the
// handler's own; the serve loop drops it.
Result<void> ServeBrokerClient(platform::Platform& platform, BrokerState& state, platform::Handle pipe);

// The lease owner sweep: each active lease whose client process has ended,
// or every active lease when `final_sweep`, has its Job emptied and its
// filters removed. Takes the state lock itself.
Result<void> SweepLeaseOwners(platform::Platform& platform, BrokerState& state, bool final_sweep);

}  // namespace telvo::network_broker
