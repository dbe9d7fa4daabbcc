#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::winutil {

// Creates the directory a normalized local path names together with every
// missing ancestor. An existing directory is accepted; an existing file in
// its place fails with ERROR_ALREADY_EXISTS.
Result<void> CreateDirectories(platform::Platform& platform, std::string_view path);

// One level below an open directory: the directory `name` there, and whether
// this call created it. The name is looked up in `parent` itself
// (NtCreateFile relative to its handle), never through a path, and a
// reparse point at the name is opened, not followed: a link planted above or
// at the name cannot make the directory appear anywhere else. A reparse
// point or a non-directory at the name is reported as such, without a
// handle; `path` names the level in messages. The handle (traverse,
// attributes, synchronize) serves as the parent of the next level.
struct DirectoryLevel {
    enum class Found { created, directory, other };
    platform::UniqueHandle handle;
    Found found = Found::other;
};
Result<DirectoryLevel> OpenOrCreateDirectoryBelow(platform::Platform& platform, platform::Handle parent,
                                                  const std::u16string& name, std::string_view path);

}  // namespace telvo::winutil
