#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::windows {

// Holds a named global mutex: dropping the guard releases the mutex and
// closes its handle.
class MutexLockGuard {
public:
    MutexLockGuard(platform::Platform& platform, platform::UniqueHandle handle)
        : platform_(&platform), handle_(std::move(handle)) {}
    MutexLockGuard(MutexLockGuard&&) noexcept = default;
    MutexLockGuard& operator=(MutexLockGuard&&) = delete;
    MutexLockGuard(const MutexLockGuard&) = delete;
    ~MutexLockGuard() {
        if (handle_) (void)platform_->sync.ReleaseMutex(handle_.get());
    }

private:
    platform::Platform* platform_;
    platform::UniqueHandle handle_;
};

// What tells one global mutex lock from another: its name, the descriptor
// it is created with, the check of the descriptor actually obtained, and
// its messages.
struct MutexLockSpec {
    std::u16string name;
    std::string create_operation;       // "CreateMutexExW(metadata lock)"
    std::string security_operation;     // "GetKernelObjectSecurity(metadata lock)"
    std::string invalid_size_message;   // the size probe did not report 1..65536 bytes
    std::string wait_operation;         // "WaitForSingleObject(metadata lock)"
    std::string timeout_message;
    // Checks the descriptor read back from the object (owner and DACL); null
    // when the bytes are not a well-formed descriptor.
    std::function<Result<void>(const winformat::SecurityDescriptor*)> trust_check;
};

inline constexpr std::uint32_t kMutexLockAccess = 0x00120000;  // SYNCHRONIZE | READ_CONTROL
inline constexpr std::uint32_t kMutexLockWaitMs = 30000;

// Creates or opens the mutex with `descriptor`, checks what was obtained
// before any wait, then waits at most 30 s. An abandoned mutex is acquired.
Result<MutexLockGuard> AcquireMutexLock(platform::Platform& platform, const MutexLockSpec& spec,
                                        const std::vector<std::uint8_t>& descriptor);

// Messages of the per-ACE form checks of a lock's descriptor.
struct LockAceMessages {
    const char* untrusted_ace;       // not ACCESS_ALLOWED without flags, or shorter than 16 bytes
    const char* invalid_trustee;     // no valid SID
    const char* invalid_trustee_size;  // size other than 16 + 4 x sub-authorities
};

// The trustee of a plain ACCESS_ALLOWED entry without flags whose size is
// exactly that of its SID.
Result<const winformat::Sid*> CheckLockAceForm(const winformat::Ace& ace, const LockAceMessages& messages);

// A lock's self-relative descriptor: the owner when given, and a DACL of
// revision 2 in a 256-byte buffer with one ACCESS_ALLOWED entry per
// (mask, SID), in order; failures name the lock ("InitializeAcl(<lock>)",
// "AddAccessAllowedAce(<lock>)").
Result<std::vector<std::uint8_t>> BuildLockDescriptor(
    const std::string& lock, std::optional<winformat::Sid> owner,
    const std::vector<std::pair<std::uint32_t, winformat::Sid>>& entries);

}  // namespace telvo::windows
