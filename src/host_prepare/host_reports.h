#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "host_prepare/host_command.h"
#include "host_prepare/network_service_setup.h"
#include "host_prepare/null_device_preparation.h"

namespace telvo::host_prepare {

// One metadata target as the host preparation report lists it.
struct TargetReport {
    std::string kind;  // "systemDriveRoot", "userProfiles", "additionalDriveRoot"
    std::string path;
    bool prepared = false;
    bool changed = false;
};

struct HostPreparationReport {
    std::string system_root;
    std::string capability_sid;
    std::vector<TargetReport> targets;
};

std::string_view OperationWord(HostOperation operation);

// Each report as its one line: compact JSON with the fields in their fixed
// order, then "\n".
Result<std::string> SerializeHostPreparationReport(HostOperation operation, const HostPreparationReport& report);
Result<std::string> SerializeNullDeviceReport(HostOperation operation, const NullDeviceReport& report);
Result<std::string> SerializeNetworkReport(HostOperation operation, const NetworkSetupReport& report);

}  // namespace telvo::host_prepare
