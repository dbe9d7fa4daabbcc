#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/held_handle.h"
#include "platform/platform.h"

namespace telvo::windows {

inline constexpr char kAclMutationLockFile[] = "acl-mutations.lock";

inline SysResult<void> UnlockFirstByte(platform::Platform& platform, platform::Handle file) {
    return platform.files.UnlockFileEx(file, 0, 1);
}

// Holds the per-user ACL mutation lock: an exclusive lock on byte 0 of the
// lock file in the state directory. Dropping the guard unlocks the byte and
// closes the file; the file itself stays.
using AclMutationLockGuard = platform::HeldHandle<&UnlockFirstByte>;

// Opens "acl-mutations.lock" in the state directory (a normalized local
// path), creating it when missing: the name itself, never a link planted
// there, shared for reading and writing but not for deletion; anything but a
// regular file at that path is refused. Then locks byte 0 exclusively,
// polling every 10 ms for at most 60 s, and gives up as soon as `cancel` is
// set; once locked, the file and the flag are checked again, and a failure
// there unlocks and closes before it is returned. A wait that times out
// fails with `timeout_message`, which says what the caller leaves as it is.
inline constexpr std::string_view kAclLockTimeout = "ACL mutation lock is busy; timed out without changing permissions";
Result<AclMutationLockGuard> AcquireAclMutationLock(platform::Platform& platform, std::string_view state_directory,
                                                    const std::atomic<bool>& cancel,
                                                    std::string_view timeout_message = kAclLockTimeout);

}  // namespace telvo::windows
