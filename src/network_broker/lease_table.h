#pragma once

#include <cstddef>

#include "common/error.h"
#include "network_broker/broker_message.h"
#include "network_broker/broker_state.h"
#include "network_broker/client_authentication.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// The broker's leases, changed only under the state lock (the caller holds
// it). A refusal changes nothing: every filter stays where it was.

// Active plus retained leases at most; 255 still admit one more.
inline constexpr std::size_t kMaxBrokerLeases = 256;

// Installs a lease for the client's sandbox child once the child is proved
// to be an exact-package, less-privileged AppContainer process of the
// client's user inside the client's kill-on-close Job.
Result<BrokerResult> RegisterLease(platform::Platform& platform, BrokerState& state, AuthenticatedClient& client,
                                   const RegisterRequest& request);
// Removes the client's own lease once its Job is proved empty.
Result<BrokerResult> ReleaseLease(platform::Platform& platform, BrokerState& state, const AuthenticatedClient& client,
                                  const ReleaseRequest& request);
// Stale-run recovery's question: may the profile's protection go?
Result<BrokerResult> RecoverLease(platform::Platform& platform, BrokerState& state, const AuthenticatedClient& client,
                                  const RecoverRequest& request);
StatusResult LeaseStatus(const BrokerState& state);

// Stores active plus retained in `state.lease_count`.
void StoreLeaseCount(BrokerState& state);

}  // namespace telvo::network_broker
