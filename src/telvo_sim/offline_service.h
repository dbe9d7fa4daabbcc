#pragma once

// The offline-network service of a telvo-sim host: the product's own
// service, run by the host's Service Control Manager in a LocalSystem
// process of its own, as on Windows.

#include "common/error.h"
#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim {

// The service's program becomes the product's service main (always, so
// that a service installed later starts the real one). When the host file
// says the service runs, the SCM starts it as it starts an auto-start
// service at boot, and this waits (bounded) until it answers a status
// request of the user's: a service that stops instead fails with its
// event-log message.
Result<void> StartOfflineService(platform::sim::SimHost& host, bool running);

// After the helper process has ended: asks the running service for its
// status as a process of the user until it holds no active lease (it has
// swept the leases of the ended process), at most kSettleRequests times.
// Nothing to do when the service does not run.
inline constexpr int kSettleRequests = 20;
Result<void> SettleOfflineService(platform::sim::SimHost& host);

// The host goes down: SHUTDOWN to a running service and a bounded wait for
// it to stop, then every service process is killed and waited for.
void EndOfflineService(platform::sim::SimHost& host);

}  // namespace telvo::telvo_sim
