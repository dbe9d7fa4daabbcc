#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "winutil/file_identity.h"

namespace telvo::windows {

// Removes the directories a run created, the newest first, each only while it
// is still the recorded object. A directory that is no longer empty or is in
// use, a path that is gone, and a path that now names another object are left
// alone without an error; any other failure is added to `failures` as
// "remove <path>: <error>" or "inspect <path>: <cause chain>".
void RemoveCreatedPaths(platform::Platform& platform, std::span<const winutil::RecordedPath> created,
                        std::vector<std::string>& failures);

}  // namespace telvo::windows
