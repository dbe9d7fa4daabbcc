#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "winutil/directory_chain.h"
#include "winutil/file_identity.h"

namespace telvo::winutil {

// The identity of the object at `path` (extended form), proved as for a
// grant: final path, no reparse point, no second hard link, non-zero index,
// persistent ACLs.
Result<RecordedPath> CaptureRecordedPath(platform::Platform& platform, std::string_view path);

// Opens a recorded path again and proves it is still the recorded object.
Result<platform::UniqueHandle> ReopenRecordedPath(platform::Platform& platform, const RecordedPath& recorded);

// The directory chain of a recorded directory, whose last entry must still be
// the recorded object.
Result<DirectoryChain> ReopenRecordedChain(platform::Platform& platform, const RecordedPath& recorded);

}  // namespace telvo::winutil
