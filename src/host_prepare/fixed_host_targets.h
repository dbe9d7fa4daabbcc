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
// profiles directory: the ProfilesDirectory value of the ProfileList key, read
// from the 64-bit registry view without expansion (a value rewritten while it
// is read is read again, a few times at most), with %SystemRoot%, %windir%
// and %SystemDrive% expanded from the OS Windows directory and nothing else;
// it must be a normalized local path below a drive root. Machine values only:
// the caller's environment is never consulted.
Result<std::vector<FixedHostTarget>> ResolveFixedHostTargets(platform::System& system);

}  // namespace telvo::host_prepare
