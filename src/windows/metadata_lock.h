#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "windows/mutex_lock.h"

namespace telvo::windows {

inline constexpr char16_t kMetadataLockName[] = u"Global\\Telvo.Sandbox.ObjectAclMutations.v1";

// The machine-wide lock around every DACL read-modify-write and every journal
// write or removal. Re-entrant for the thread that holds it.
Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform);

}  // namespace telvo::windows
