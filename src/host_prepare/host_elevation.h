#pragma once

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::host_prepare {

inline constexpr char kElevationRefusal[] =
    "host-prepare and host-remove require an elevated Administrator terminal; no permissions changed";

// Proves the caller an elevated member of BUILTIN\Administrators: its process
// token reports TokenElevation, and CheckTokenMembership finds the
// Administrators group enabled in the calling thread's token. Nothing else is
// read or changed; a caller that is either not elevated or not a member is
// refused with kElevationRefusal.
Result<void> RequireElevatedAdministrator(platform::Platform& platform);

}  // namespace telvo::host_prepare
