#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

// The volume device a selected drive letter names: "\Device\<name>" with
// exactly one further non-empty component, as UTF-8.
struct DriveMapping {
    std::string device;
    bool operator==(const DriveMapping&) const = default;
};

// Checks the drive name ("D:") and proves that it names a fixed local volume
// directly: GetDriveTypeW of its root must be DRIVE_FIXED, and its DOS device
// mapping (QueryDosDeviceW into 32768 units) must be a volume device, not a
// SUBST folder (\??\...), a folder inside a volume or a redirector.
Result<DriveMapping> ValidateSelectedDrive(platform::Files& files, std::string_view drive);

// Proves that `root` (opened on "<drive>\" between the two calls) is the root
// of the volume validated before: the drive still maps to the same device,
// and the handle's final NT path is that device, ASCII letters compared
// without regard to case and trailing separators removed.
Result<void> VerifyOpenedDriveRoot(platform::Files& files, std::string_view drive, const DriveMapping& recorded,
                                   platform::Handle root);

}  // namespace telvo::host_prepare
