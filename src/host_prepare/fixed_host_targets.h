#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::host_prepare {

// One fixed host directory that every sandbox reads the metadata of.
struct FixedHostTarget {
    std::string name;  // "systemDriveRoot", "userProfiles"
    std::string path;  // normalized local path: "C:\" for the drive root
};

// The root of the drive holding the OS Windows directory, then the machine's
// profiles directory. Machine values only: the caller's environment is never
// consulted.
Result<std::vector<FixedHostTarget>> ResolveFixedHostTargets(platform::System& system);

}  // namespace telvo::host_prepare
