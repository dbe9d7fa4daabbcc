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
Result<NetworkSetupReport> RunNetworkOperation(platform::Platform& platform, HostOperation operation);

}  // namespace telvo::host_prepare
