#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "windows/global_locks.h"

namespace telvo::windows {

// A metadata ancestor opened for WRITE_DAC with the metadata lock held. The
// handle is closed before the lock is released.
struct MetadataWriteDac {
    MutexLockGuard lock;
    platform::UniqueHandle handle;
};

// Takes the metadata lock, proves that `earlier` (a handle opened without
// WRITE_DAC) still names `path`, and opens the same directory again with
// WRITE_DAC and READ_CONTROL without following reparse points. A refused open
// names the directory's owner and the caller ("metadata WRITE_DAC
// unavailable; ..."); the new handle must name the same path and object.
Result<MetadataWriteDac> OpenMetadataAncestorForWriteDac(platform::Platform& platform, std::string_view path,
                                                         platform::Handle earlier);

}  // namespace telvo::windows
