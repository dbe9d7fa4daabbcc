#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "host_prepare/fixed_host_targets.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

inline constexpr char kSystemRootMetadataCapability[] = "Telvo.Sandbox.SystemRootMetadata.v1";

// What one target reports: for "status" whether the entry is present, for
// "prepare" and "remove" whether this command changed it.
struct TargetOutcome {
    std::string name;
    std::string path;
    bool value = false;
};

// Reports, prepares or removes the metadata-read entry of the system-root
// capability on each target, in order. On a failure the failing target and
// every target already changed are set back to what they held before, newest
// first; the error names the failure and any rollback that failed, joined by
// "; ".
Result<std::vector<TargetOutcome>> ApplySystemRootMetadata(platform::Platform& platform, std::string_view operation,
                                                           const std::vector<FixedHostTarget>& targets);

}  // namespace telvo::host_prepare
