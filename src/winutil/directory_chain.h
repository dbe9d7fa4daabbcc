#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "winutil/recorded_path.h"

namespace telvo::winutil {

// One directory of a chain, held open without FILE_SHARE_DELETE.
struct ChainEntry {
    std::string path;  // extended form
    platform::UniqueHandle handle;
    FileIdentity identity;
};

// A directory and its ancestors, the volume root first and the directory
// last. The chain owns the handles: every directory stays open until the
// chain is dropped.
struct DirectoryChain {
    std::vector<ChainEntry> entries;
};

// Opens every directory from the volume root down to `path` without following
// reparse points and proves each one: its final path, a stable non-zero
// identity, a directory, on a volume with persistent ACLs. Only the last one
// is opened for WRITE_DAC, and only when `write_dac_on_target` is set.
Result<DirectoryChain> OpenDirectoryChain(platform::Platform& platform, std::string_view path,
                                          bool write_dac_on_target);

}  // namespace telvo::winutil
