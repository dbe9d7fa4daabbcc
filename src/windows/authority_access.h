#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"
#include "winutil/local_path.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {

// An authority's access for the AppContainer SID, object by object: what each
// object of the authority receives (the policy), and the per-object actions
// of the grant, verification, revoke and verify-absent walks. Object paths
// are UTF-16 as the walk reports them; messages show them as text.

// A directory authority as the grant engine sees it: its root, whether it is
// writable, and the private paths inside it. Paths are normalized local paths.
struct AuthorityAccess {
    winutil::LocalPath root;
    bool writable = false;
    std::vector<winutil::LocalPath> private_paths;
};

namespace grant_mask {
inline constexpr std::uint32_t kReadOnly = 0x001200A9;
inline constexpr std::uint32_t kWritable = 0x001301BF;
inline constexpr std::uint32_t kWritableProtected = 0x001201BF;  // kWritable without DELETE
inline constexpr std::uint32_t kDelete = 0x00010000;
}  // namespace grant_mask

namespace grant_inheritance {
inline constexpr std::uint32_t kObjectsAndContainers = 0x3;  // OBJECT_INHERIT | CONTAINER_INHERIT
inline constexpr std::uint32_t kInheritOnly = 0xB;           // ... | INHERIT_ONLY
}  // namespace grant_inheritance

// The entries an object of the authority receives for the AppContainer SID:
// the main entry's mask, and whether the inherit-only DELETE entry comes with
// it (the root of a writable authority and its proper ancestors of private
// paths, so that the sandbox cannot delete or rename them while what it
// creates below them inherits DELETE).
struct ObjectGrant {
    std::uint32_t mask = 0;
    bool inherit_only_delete = false;
};

// Nothing for an object at or below a private path.
std::optional<ObjectGrant> GrantFor(std::u16string_view object, const AuthorityAccess& authority);

// The grant walk's action on one object: merges the object's entries for the
// SID (GrantFor) into its DACL with SetEntriesInAclW and writes the result to
// this object only; the read, merge and write happen in one hold of the
// metadata lock. Objects at or below a private path are left alone. A DACL
// holding an entry that may hide the SID (an opaque type) is refused before
// anything is written: the grant could not be revoked exactly. Failures read
// "could not grant <path>".
Result<void> GrantAuthorityAccess(platform::Platform& platform, std::u16string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid);

// The verification walk's check of one object: a private object has no entry
// for the SID; any other carries exactly its grant (effective allowed mask, no
// deny, and with inherit-only entries the mask plus DELETE for a writable
// authority).
Result<void> VerifyAuthorityGrant(platform::Platform& platform, std::u16string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid);

// What the cleanup found on one object.
enum class CleanupFinding {
    clean,         // no entry of the SID (any longer)
    revoked,       // its entries of the SID were removed
    unchangeable,  // it may hold an entry of the SID that this user cannot remove
};

// The cleanup walk's action on one object: under the metadata lock, every
// entry naming the SID is removed from its DACL, written only when one was
// there (a null DACL names none). An object that names the SID but was
// opened without WRITE_DAC (it refused it), or holds an entry of an opaque
// type whose bytes contain the SID, is unchangeable and left as it is; the
// cleanup's header says why that is safe. Failures read "revoke <path>".
Result<CleanupFinding> RevokeAuthorityObject(platform::Platform& platform, const winutil::CleanupObject& object,
                                             const winformat::Sid& sid);

// The proof after cleanup, reading only: no entry of the object names the
// SID, else "AppContainer SID ACE remains after cleanup on <path>" unless
// the object is unchangeable (an opaque entry, or WRITE_DAC refused to an
// open of its own made to find out).
Result<CleanupFinding> VerifySidAbsent(platform::Platform& platform, const winutil::CleanupObject& object,
                                       const winformat::Sid& sid);

}  // namespace telvo::windows
