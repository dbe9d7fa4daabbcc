#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/authority_access.h"
#include "windows/journal.h"
#include "winformat/sid.h"

namespace telvo::windows {

// What the sandbox token may reach, asked of Windows with that token before
// the command runs: the proof that the grants are exactly the policy.

// The rights each kind of object must grant the sandbox (all of them) and
// must not grant (none of them).
struct AccessRow {
    std::uint32_t required = 0;
    std::uint32_t forbidden = 0;
};
namespace access_row {
inline constexpr AccessRow kReadOnly{0x001200A9, 0x000D0156};
inline constexpr AccessRow kWritableProtected{0x001201BF, 0x000D0040};  // root, ancestor of a private path
inline constexpr AccessRow kWritable{0x001301BF, 0x000C0040};
inline constexpr std::uint32_t kPrivateForbidden = 0x001F01FF;
}  // namespace access_row

// The rights `token` (an impersonation token with TOKEN_QUERY) is granted on
// the object behind `handle` (opened with READ_CONTROL): its owner, group,
// DACL and label read with GetKernelObjectSecurity, then AccessCheck for
// MAXIMUM_ALLOWED with the file generic mapping. 0 when access is refused
// outright. Both size probes are bounded and retried a few times at most.
Result<std::uint32_t> EffectiveAccess(platform::Platform& platform, platform::Handle handle, platform::Handle token);

// What the verification proves, and where it records the metadata ancestors
// it has to prepare itself.
struct SandboxAccessRun {
    const std::vector<AuthorityAccess>* authorities = nullptr;
    const winformat::Sid* app_container_sid = nullptr;
    JournalRecord* journal = nullptr;
    const std::atomic<bool>* controller_gone = nullptr;
};

// Walks every authority with a duplicate of the child's primary token and
// proves each object against its row (private objects grant nothing), then
// proves that the token reads the metadata of every directory above each
// authority. An ancestor that it cannot read is given the exact metadata
// entry for the AppContainer SID, recorded in the journal first; a volume
// root or the profiles directory is the Administrator's to prepare and fails
// the run. Every finding is the cause of "sandbox filesystem access
// verification failed; command not resumed".
Result<void> VerifySandboxAccess(platform::Platform& platform, platform::Handle child_token,
                                 const SandboxAccessRun& run);

}  // namespace telvo::windows
