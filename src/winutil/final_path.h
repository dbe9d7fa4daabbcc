#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/files.h"

namespace telvo::winutil {

// The final path of an open object (normalised name, DOS volume name), as
// GetFinalPathNameByHandleW reports it: \\?\X:\... for a local object. The
// size probe is repeated when the path grows between the calls, at most three
// sized calls in all.
Result<std::string> ReadFinalPath(platform::Files& files, platform::Handle handle);

// The object's final path names `expected` (PathsEqual), or the error
// "path identity changed while establishing the sandbox: ...".
Result<void> VerifyFinalPath(platform::Files& files, platform::Handle handle, std::string_view expected);

}  // namespace telvo::winutil
