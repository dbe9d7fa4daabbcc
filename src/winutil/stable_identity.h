#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/files.h"
#include "winutil/file_identity.h"

namespace telvo::winutil {

// GetFileInformationByHandle, failing as "GetFileInformationByHandle failed with Win32 error <n>".
Result<platform::FileInformation> ReadFileInformation(platform::Files& files, platform::Handle handle);

// The identity of an object that is neither a reparse point nor hard-linked;
// `path` is for messages. The file index may be 0: callers that need an
// identity refuse that.
Result<FileIdentity> CheckStableIdentity(const platform::FileInformation& info, std::string_view path);
Result<FileIdentity> StableIdentity(platform::Files& files, platform::Handle handle, std::string_view path);

}  // namespace telvo::winutil
