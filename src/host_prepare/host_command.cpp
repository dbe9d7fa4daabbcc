#include "host_prepare/host_command.h"

#include <optional>

#include "common/try.h"
#include "host_prepare/fixed_host_targets.h"
#include "host_prepare/host_elevation.h"
#include "host_prepare/host_reports.h"
#include "host_prepare/network_service_setup.h"
#include "host_prepare/null_device_preparation.h"
#include "host_prepare/selected_drive.h"
#include "host_prepare/system_root_metadata.h"
#include "identity/identifier_text.h"
#include "protocol/terminal_record.h"
#include "windows/global_locks.h"

namespace telvo::host_prepare {

namespace {

using platform::Platform;

constexpr char kAdditionalDriveRoot[] = "additionalDriveRoot";

// The metadata targets, and the selected drive's root (validated before it
// is ever opened, and proved to be that volume on every open).
Result<std::string> FixedTargetsReport(Platform& platform, const HostCommand& command) {
    TELVO_TRY_ASSIGN(std::vector<FixedHostTarget> targets, ResolveFixedHostTargets(platform.system));
    std::optional<DriveMapping> mapping;
    if (command.selector == HostSelector::drive) {
        TELVO_TRY_ASSIGN(mapping, ValidateSelectedDrive(platform.files, command.drive));
        targets.push_back({kAdditionalDriveRoot, command.drive + "\\"});
    }
    const OpenedTargetCheck check = [&](const FixedHostTarget& target, platform::Handle handle) -> Result<void> {
        if (target.name != kAdditionalDriveRoot) return {};
        return VerifyOpenedDriveRoot(platform.files, command.drive, *mapping, handle);
    };
    TELVO_TRY_ASSIGN(const winformat::Sid sid, SystemRootMetadataCapabilitySid(platform.appcontainer));
    HostPreparationReport report;
    report.system_root = targets.front().path;
    TELVO_TRY_ASSIGN(report.capability_sid, identity::SidToString(platform.appcontainer, sid));
    TELVO_TRY_ASSIGN(const std::vector<TargetOutcome> outcomes,
                     ApplySystemRootMetadata(platform, OperationWord(command.operation), targets, check));
    for (const TargetOutcome& outcome : outcomes) {
        // Status reports presence; prepare and remove report whether they wrote,
        // and leave every target in the wanted state.
        const bool status = command.operation == HostOperation::status;
        report.targets.push_back({outcome.name, outcome.path,
                                  status ? outcome.value : command.operation == HostOperation::prepare,
                                  status ? false : outcome.value});
    }
    return SerializeHostPreparationReport(command.operation, report);
}

Result<std::string> NetworkReport(Platform& platform, HostOperation operation) {
    TELVO_TRY_ASSIGN(const NetworkSetupReport report, RunNetworkOperation(platform, operation));
    return SerializeNetworkReport(operation, report);
}

Result<std::string> NullDeviceReportLine(Platform& platform, HostOperation operation) {
    TELVO_TRY_ASSIGN(const NullDeviceReport report, RunNullDeviceOperation(platform, operation));
    return SerializeNullDeviceReport(operation, report);
}

// The one operation, under the administrative setup lock where it changes
// host preparation. A status takes no lock: it writes nothing, and a
// non-elevated caller may not open the lock.
Result<std::string> RunOperation(Platform& platform, const HostCommand& command) {
    if (command.selector == HostSelector::null_device) return NullDeviceReportLine(platform, command.operation);
    std::optional<windows::MutexLockGuard> setup_lock;
    if (command.operation != HostOperation::status) {
        auto acquired = windows::AcquireHostSetupLock(platform);
        if (!acquired) return Fail(std::move(acquired.error()));
        setup_lock.emplace(std::move(*acquired));
    }
    if (command.selector == HostSelector::network) return NetworkReport(platform, command.operation);
    return FixedTargetsReport(platform, command);
}

}  // namespace

Result<void> RunHostCommand(Platform& platform, const HostCommand& command) {
    if (command.operation != HostOperation::status) TELVO_TRY(RequireElevatedAdministrator(platform));
    TELVO_TRY_ASSIGN(const std::string line, RunOperation(platform, command));
    // Standard output is written unbuffered: the line is out once written.
    auto written = protocol::WriteAllToStandardOutput(platform, line);
    if (!written && command.operation != HostOperation::status) {
        return Fail(std::move(written.error())
                        .Context("the operation completed, but its report could not be written; run host-status to "
                                 "see the host's state"));
    }
    return written;
}

}  // namespace telvo::host_prepare
