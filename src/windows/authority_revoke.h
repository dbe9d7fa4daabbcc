#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::windows {

// The cleanup traversal's action on one object: every entry naming the SID
// removed (RevokeSidFromObject); failures read "revoke <path>".
Result<void> RevokeAuthorityObject(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                   const winformat::Sid& sid);

// The proof after cleanup: no entry of the object names the SID.
Result<void> VerifySidAbsent(platform::Platform& platform, std::string_view path, platform::Handle handle,
                             const winformat::Sid& sid);

}  // namespace telvo::windows
