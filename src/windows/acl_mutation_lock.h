#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::windows {

inline constexpr char kAclMutationLockFile[] = "acl-mutations.lock";

// Holds the per-user ACL mutation lock: an exclusive lock on byte 0 of the
// lock file in the state directory. Dropping the guard unlocks the byte and
// closes the file; the file itself stays.
class AclMutationLockGuard {
public:
    AclMutationLockGuard(platform::Platform& platform, platform::UniqueHandle file)
        : platform_(&platform), file_(std::move(file)) {}
    AclMutationLockGuard(AclMutationLockGuard&&) noexcept = default;
    AclMutationLockGuard& operator=(AclMutationLockGuard&&) = delete;
    AclMutationLockGuard(const AclMutationLockGuard&) = delete;
    ~AclMutationLockGuard();

    platform::Handle handle() const { return file_.get(); }

private:
    platform::Platform* platform_;
    platform::UniqueHandle file_;
};

// Waits at most 60 s, polling every 10 ms, and gives up as soon as `cancel`
// is set. `state_directory` is a normalized local path.
Result<AclMutationLockGuard> AcquireAclMutationLock(platform::Platform& platform, std::string_view state_directory,
                                                    const std::atomic<bool>& cancel);

}  // namespace telvo::windows
