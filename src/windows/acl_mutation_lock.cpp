#include "windows/acl_mutation_lock.h"

#include <algorithm>

#include "common/try.h"
#include "platform/file_constants.h"
#include "winutil/object_open.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::windows {

namespace {

using namespace platform;

// The generic read and write rights of a file.
constexpr std::uint32_t kLockFileAccess = file_access::kFileGenericRead | file_access::kFileGenericWrite;
constexpr std::uint32_t kLockFileShare = file_share::kRead | file_share::kWrite;
constexpr std::uint32_t kLockFileFlags =
    file_flag::kBackupSemantics | file_flag::kOpenReparsePoint | file_attribute::kNormal;
constexpr std::uint64_t kWaitLimitMs = 60000;
constexpr std::uint32_t kPollMs = 10;

Result<void> NotCancelled(const std::atomic<bool>& cancel) {
    if (cancel.load()) return Fail("ACL mutation lock acquisition was cancelled");
    return {};
}

// The handle must still name the lock path, without a reparse point on the
// way, and be a regular file.
Result<void> CheckLockFile(Platform& platform, Handle file, std::string_view path) {
    TELVO_TRY(winutil::VerifyFinalPath(platform.files, file, path));
    TELVO_TRY_ASSIGN(const auto info, Lift("GetFileInformationByHandle", platform.files.GetFileInformationByHandle(file)));
    if (info.file_attributes & (file_attribute::kDirectory | file_attribute::kReparsePoint)) {
        return Fail("the ACL mutation lock must be a regular file");
    }
    return {};
}

Result<void> LockFirstByte(Platform& platform, Handle file, const std::atomic<bool>& cancel,
                           std::string_view timeout_message) {
    const std::uint64_t start = platform.kernel.GetTickCount64();
    while (true) {
        TELVO_TRY(NotCancelled(cancel));
        auto locked = platform.files.LockFileEx(file, lock_flag::kExclusiveLock | lock_flag::kFailImmediately, 0, 1);
        if (locked) return {};
        if (locked.error() != SysError::Win32(win32_error::kLockViolation)) {
            return FailSys("LockFileEx(ACL mutation lock)", locked.error());
        }
        const std::uint64_t elapsed = platform.kernel.GetTickCount64() - start;
        if (elapsed >= kWaitLimitMs) return Fail(std::string(timeout_message));
        platform.kernel.Sleep(static_cast<std::uint32_t>(std::min<std::uint64_t>(kPollMs, kWaitLimitMs - elapsed)));
    }
}

}  // namespace

Result<AclMutationLockGuard> AcquireAclMutationLock(Platform& platform, std::string_view state_directory,
                                                    const std::atomic<bool>& cancel,
                                                    std::string_view timeout_message) {
    // The handle's final path is compared in extended form.
    TELVO_TRY_ASSIGN(std::string path, winutil::ToExtendedPath(state_directory));
    if (path.back() != '\\') path.push_back('\\');
    path += kAclMutationLockFile;
    TELVO_TRY(NotCancelled(cancel));

    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    TELVO_TRY_ASSIGN(const Handle opened,
                     Lift("CreateFileW(ACL mutation lock)",
                          platform.files.CreateFileW(wide, kLockFileAccess, kLockFileShare,
                                                     creation_disposition::kOpenAlways, kLockFileFlags)));
    UniqueHandle file(platform.kernel, opened);
    TELVO_TRY(CheckLockFile(platform, file.get(), path));

    TELVO_TRY(LockFirstByte(platform, file.get(), cancel, timeout_message));
    AclMutationLockGuard guard(platform, std::move(file));
    // The file may have been swapped while this process waited for it; the
    // guard unlocks and closes on these failures.
    TELVO_TRY(CheckLockFile(platform, guard.get(), path));
    TELVO_TRY(NotCancelled(cancel));
    return guard;
}

}  // namespace telvo::windows
