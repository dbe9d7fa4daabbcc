#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "windows/global_locks.h"

namespace telvo::windows {

// The machine-wide lock around every DACL read-modify-write and every journal
// write or removal. Re-entrant for the thread that holds it.
Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform);

}  // namespace telvo::windows
