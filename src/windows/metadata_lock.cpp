#include "windows/metadata_lock.h"

namespace telvo::windows {

Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform) {
    return AcquireGlobalLock(platform, GlobalLock::metadata);
}

}  // namespace telvo::windows
