#pragma once

#include <string>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::windows {

// The helper's per-user state directory (messages call it the recovery
// directory): the journals and the ACL mutation lock file live there.
inline constexpr char kStateDirectoryName[] = "TelvoSandboxState-v1";

// "TelvoSandboxState-v1" directly under the canonical LocalAppData known
// folder (an existing local directory that is no link), created when missing
// under the metadata lock, canonicalized, every ancestor proved to have a
// stable identity, and secured (SecureStateDirectory). Returns its canonical
// path in extended form. The directory is made with the descriptor it
// inherits and narrowed at once; until then it holds nothing.
Result<std::string> PrepareStateDirectory(platform::Platform& platform);

// Restricts the helper's state directory to the current account: the
// directory must be owned by the current user, and receives a protected DACL
// of one entry granting that user full access, inherited by everything below
// it. The DACL is read back and checked.
Result<void> SecureStateDirectory(platform::Platform& platform, platform::Handle handle);

}  // namespace telvo::windows
