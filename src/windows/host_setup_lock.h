#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "windows/mutex_lock.h"

namespace telvo::windows {

inline constexpr char16_t kHostSetupLockName[] = u"Global\\Telvo.Sandbox.SystemRootMetadata.Setup.v1";

// The machine-wide lock that serialises the Administrator's host prepare and
// remove commands.
Result<MutexLockGuard> AcquireHostSetupLock(platform::Platform& platform);

}  // namespace telvo::windows
