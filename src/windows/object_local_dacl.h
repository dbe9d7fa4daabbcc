#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/acl.h"

namespace telvo::windows {

// Writes `acl` as the object's DACL with NtSetSecurityObject, on this object
// only, under the metadata lock. The DACL control bits are kept as the object
// has them when the lock is held: protected, auto-inherited and defaulted as
// they were, and auto-inheritance requested when the object had it requested
// or applied.
Result<void> WriteObjectLocalDacl(platform::Platform& platform, platform::Handle handle, const winformat::Acl& acl);

}  // namespace telvo::windows
