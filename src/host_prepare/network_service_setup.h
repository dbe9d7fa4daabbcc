#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "host_prepare/host_command.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

// What the network operation found and did: the fields of the network report.
struct NetworkSetupReport {
    std::string install_path;  // full path of the service executable
    bool installed = false;    // the service exists with the fixed configuration
    bool running = false;
    bool quiesced = false;
    bool prepared = false;
    bool changed = false;
    std::uint32_t service_pid = 0;
    std::uint64_t active_leases = 0;
    std::uint64_t retained_leases = 0;
    bool binary_matches = false;
};

// Inspects, installs or removes the offline-network service and its layout.
// The caller holds the administrative setup lock and, for prepare and
// remove, has proved the caller an elevated Administrator.
//
// status reads only: the Service Control Manager's view of the service,
// the protected service query (the service counts as installed only when it
// passes it: fixed configuration, narrowed descriptor, protected files), the
// broker's lease counts when it runs, and a byte compare of the installed
// executable with this one. prepared = installed, running, not quiesced
// (a quiesced service takes no registrations) and the same executable (the
// service verifies the WFP layout itself when it starts).
//
// prepare, in this order, each step skipped when its result is in place:
//  1. refuse a foreign installation before changing anything: an existing
//     service whose configuration or descriptor is not the fixed one, or a
//     directory that is not the protected one;
//  2. the WFP layout (one transaction: all or nothing);
//  3. the executable, when it differs from this one: a running service is
//     quiesced and stopped first (refused while it holds leases, as for
//     remove), then the directory and a temporary copy are written and the
//     copy replaces the executable;
//  4. the service, registered and narrowed (undone when it cannot be
//     narrowed), started and waited for until it runs; a service left
//     quiesced by an unfinished removal is stopped and started again;
//  5. the report from a fresh status, which must say prepared.
// remove, in this order:
//  1. refuse a foreign installation, as prepare;
//  2. refuse while leases exist: the broker's counts when the service runs,
//     and the lease filters in the WFP layout in any case;
//  3. a running service is quiesced (control 128; refused with nothing
//     stopped when it does not accept STOP afterwards), stopped and waited
//     for; the service is then marked for deletion;
//  4. the executable, a leftover temporary copy and the directory;
//  5. the layout, which its removal re-checks for lease filters.
// A failure part-way leaves a state that the same command completes when run
// again: each step finds its own earlier result and keeps it. Such an error
// says so ("... run host-prepare --network again to complete it"); an error
// before the first change leaves the host as it was.
Result<NetworkSetupReport> RunNetworkOperation(platform::Platform& platform, HostOperation operation);

}  // namespace telvo::host_prepare
