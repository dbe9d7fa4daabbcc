#pragma once

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::windows {

// Restricts the helper's state directory to the current account: the
// directory must be owned by the current user, and receives a protected DACL
// of one entry granting that user full access, inherited by everything below
// it. The DACL is read back and checked.
Result<void> SecureStateDirectory(platform::Platform& platform, platform::Handle handle);

}  // namespace telvo::windows
