#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/held_handle.h"
#include "platform/platform.h"

namespace telvo::windows {

// The two machine-wide locks: named mutexes in the global namespace, shared by
// every session. Each is created or opened with its own descriptor; the
// object actually obtained (someone else may have created it) is trusted only
// when its owner and DACL are exactly what this program creates, and that is
// checked before any wait, so a planted object is never waited on. A wait
// lasts at most 30 s; an abandoned mutex is acquired.

inline constexpr char16_t kMetadataLockName[] = u"Global\\Telvo.Sandbox.ObjectAclMutations.v1";
inline constexpr char16_t kHostSetupLockName[] = u"Global\\Telvo.Sandbox.SystemRootMetadata.Setup.v1";

inline SysResult<void> ReleaseLockMutex(platform::Platform& platform, platform::Handle mutex) {
    return platform.sync.ReleaseMutex(mutex);
}

// Holds one of the mutexes: dropping the guard releases the mutex and closes
// its handle.
using MutexLockGuard = platform::HeldHandle<&ReleaseLockMutex>;

enum class GlobalLock {
    // Around every DACL read-modify-write and every journal write or removal.
    // Its DACL: Authenticated Users and LocalSystem SYNCHRONIZE | READ_CONTROL,
    // OWNER RIGHTS READ_CONTROL (which takes WRITE_DAC from its creator); no
    // owner is set.
    metadata,
    // Around the Administrator's host prepare and remove commands. Owner
    // Administrators; its DACL: Administrators and LocalSystem
    // SYNCHRONIZE | READ_CONTROL.
    host_setup,
};

// Creates or opens the lock's mutex, checks the object obtained, then waits.
// Each failure names the lock; a timeout says that nothing was changed.
Result<MutexLockGuard> AcquireGlobalLock(platform::Platform& platform, GlobalLock lock);

// The owner and DACL of the mutex `mutex` (opened with READ_CONTROL) as
// self-relative bytes. The first query must report the size (1 to 64 KiB,
// else `invalid_size`); a descriptor that grows between the queries is read
// again, a few times at most. Failures of the call name `operation`.
Result<std::vector<std::uint8_t>> ReadMutexOwnerAndDacl(platform::Platform& platform, platform::Handle mutex,
                                                        std::string_view operation, std::string_view invalid_size);

// The administrative setup lock.
Result<MutexLockGuard> AcquireHostSetupLock(platform::Platform& platform);

// The machine-wide lock around every DACL read-modify-write and every journal
// write or removal. Re-entrant for the thread that holds it.
Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform);

}  // namespace telvo::windows
