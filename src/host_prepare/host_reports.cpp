#include "host_prepare/host_reports.h"

#include "common/json.h"
#include "common/try.h"
#include "host_prepare/system_root_metadata.h"
#include "windows/metadata_access.h"

namespace telvo::host_prepare {

namespace {

using json::Json;

constexpr int kReportVersion = 1;

Json Header(std::string_view kind, HostOperation operation) {
    Json object = Json::object();
    object["protocolVersion"] = kReportVersion;
    object["kind"] = kind;
    object["operation"] = OperationWord(operation);
    return object;
}

Result<std::string> Line(const Json& object) {
    TELVO_TRY_ASSIGN(std::string text, json::WriteCompact(object));
    return text + "\n";
}

}  // namespace

std::string_view OperationWord(HostOperation operation) {
    switch (operation) {
        case HostOperation::status: return "status";
        case HostOperation::prepare: return "prepare";
        case HostOperation::remove: return "remove";
    }
    throw InternalFault("unknown host operation");
}

Result<std::string> SerializeHostPreparationReport(HostOperation operation, const HostPreparationReport& report) {
    Json object = Header("hostPreparation", operation);
    object["systemRoot"] = report.system_root;
    object["capabilityName"] = kSystemRootMetadataCapability;
    object["capabilitySid"] = report.capability_sid;
    object["metadataMask"] = windows::kMetadataReadMask;
    bool prepared = true;
    bool changed = false;
    Json targets = Json::array();
    for (const TargetReport& target : report.targets) {
        prepared = prepared && target.prepared;
        changed = changed || target.changed;
        Json entry = Json::object();
        entry["kind"] = target.kind;
        entry["path"] = target.path;
        entry["prepared"] = target.prepared;
        entry["changed"] = target.changed;
        targets.push_back(std::move(entry));
    }
    object["prepared"] = prepared;
    object["changed"] = changed;
    object["targets"] = std::move(targets);
    return Line(object);
}

Result<std::string> SerializeNullDeviceReport(HostOperation operation, const NullDeviceReport& report) {
    Json object = Header("nullDevicePreparation", operation);
    object["path"] = kNullDevicePath;
    object["capabilityName"] = kNullDeviceCapability;
    object["capabilitySid"] = report.capability_sid;
    object["accessMask"] = kNullDeviceEntryMask;
    object["prepared"] = report.prepared;
    object["changed"] = report.changed;
    object["lifetime"] = "untilReboot";
    return Line(object);
}

Result<std::string> SerializeNetworkReport(HostOperation operation, const NetworkSetupReport& report) {
    Json object = Header("networkPreparation", operation);
    object["serviceName"] = "TelvoOfflineNetwork";
    object["installPath"] = report.install_path;
    object["installed"] = report.installed;
    object["running"] = report.running;
    object["quiesced"] = report.quiesced;
    object["prepared"] = report.prepared;
    object["changed"] = report.changed;
    object["servicePid"] = report.service_pid;
    object["activeLeases"] = report.active_leases;
    object["retainedLeases"] = report.retained_leases;
    object["policyVersion"] = 1;
    object["binaryMatches"] = report.binary_matches;
    return Line(object);
}

}  // namespace telvo::host_prepare
