#pragma once

#include <functional>
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

// The capability SID every sandbox token carries for these entries.
Result<winformat::Sid> SystemRootMetadataCapabilitySid(platform::AppContainer& appcontainer);

// A further proof that an opened target is what it names (the selected
// drive's root is proved to be its volume); it runs on every open.
using OpenedTargetCheck = std::function<Result<void>(const FixedHostTarget&, platform::Handle)>;

// Reports, prepares or removes the metadata-read entry of the system-root
// capability on each target, in order. On a failure the failing target and
// every target already changed are set back to what they held before, newest
// first; the error names the failure and any rollback that failed, joined by
// "; ".
Result<std::vector<TargetOutcome>> ApplySystemRootMetadata(platform::Platform& platform, std::string_view operation,
                                                           const std::vector<FixedHostTarget>& targets,
                                                           const OpenedTargetCheck& check = {});

}  // namespace telvo::host_prepare
