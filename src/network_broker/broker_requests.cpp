#include "network_broker/broker_requests.h"

namespace telvo::network_broker {

// Interface only: the request handler and the sweep are being built.
Result<void> ServeBrokerClient(platform::Platform&, BrokerState&, platform::Handle) {
    return Fail("network broker requests are not served in this build");
}

Result<void> SweepLeaseOwners(platform::Platform&, BrokerState&, bool) { return {}; }

}  // namespace telvo::network_broker
