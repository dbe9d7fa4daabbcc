#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "network_broker/broker_state.h"
#include "platform/platform.h"

namespace telvo::network_broker {

inline constexpr char16_t kServiceName[] = u"TelvoOfflineNetwork";

// The broker pipe's descriptor: owner and group LocalSystem; a protected
// DACL with all access for LocalSystem and read/write without append for
// Authenticated Users; a medium mandatory label with no-write-up.
inline constexpr std::string_view kBrokerPipeSecurity =
    "O:SYG:SYD:P(A;;GA;;;SY)(A;;0x0012019b;;;AU)S:(ML;;NW;;;ME)";

// The one pipe instance: duplex, first instance only, overlapped; byte
// stream, byte reads, blocking, remote clients rejected; room for one
// largest frame with its length prefix each way.
inline constexpr std::uint32_t kBrokerPipeOpenMode = 0x40080003;
inline constexpr std::uint32_t kBrokerPipeMode = 0x00000008;
inline constexpr std::uint32_t kBrokerPipeBufferSize = 16388;
// How long the serve loop waits for a client before it sweeps again.
inline constexpr std::uint32_t kConnectWaitMs = 500;

// The service's stop flag: set when the service is to stop. The dispatcher
// clears it before it hands the process to the Service Control Manager.
std::atomic<bool>& ServiceStopFlag();

// Service mode: hands the process to the Service Control Manager's
// dispatcher, which runs the service main and returns once it has stopped.
Result<void> RunNetworkService(platform::Platform& platform);

// The service main entry, called by the Service Control Manager's dispatcher
// on a thread of its own:
// 1. registers the control handler (failure: written to the event log, and
//    nothing else happens), reports START_PENDING;
// 2. proves it runs as LocalSystem; verifies the offline layout, reads the
//    boot identity, removes the leases of other boots and keeps those of
//    this one as retained leases;
// 3. creates the one exclusive pipe instance, reports RUNNING (accepting
//    SHUTDOWN only) and proves that it is the process and image the
//    protected service query names;
// 4. serves until the stopping flag is set: sweeps the lease owners, waits
//    up to 500 ms for a client, serves it and disconnects;
// 5. sweeps a last time with the final flag, closes the pipe and reports
//    STOPPED. A failure anywhere stops the service with
//    ERROR_SERVICE_SPECIFIC_ERROR and is written to the event log; so is a
//    panic. Filters stay in the filtering engine on every path.
void NetworkServiceMain(platform::Platform& platform, const std::vector<std::u16string>& arguments);

}  // namespace telvo::network_broker
