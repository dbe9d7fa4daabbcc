#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::windows {

// Removes every entry naming the SID from the object's DACL, under the
// metadata lock. Writes only when an entry was removed.
Result<void> RevokeSidFromObject(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid);

}  // namespace telvo::windows
