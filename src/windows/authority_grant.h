#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/authority_policy.h"
#include "winformat/sid.h"

namespace telvo::windows {

// The grant traversal's action on one object of an authority: merges the
// object's entries for the SID (GrantFor) into its DACL with SetEntriesInAclW
// and writes the result to this object only, under the metadata lock. Objects
// at or below a private path are left alone. A DACL holding an entry that may
// hide the SID (an opaque type) is refused before anything is written: the
// grant could not be revoked exactly. Failures read "could not grant <path>".
Result<void> GrantAuthorityAccess(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid);

// The verification traversal's check of one object: a private object has no
// entry for the SID; any other carries exactly its grant (effective allowed
// mask, no deny, and with inherit-only entries the mask plus DELETE for a
// writable authority).
Result<void> VerifyAuthorityGrant(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                  const AuthorityAccess& authority, const winformat::Sid& sid);

}  // namespace telvo::windows
