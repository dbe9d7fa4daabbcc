#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::winutil {

// Opens the object a path names without following a reparse point in its last
// name: READ_CONTROL (and WRITE_DAC when asked), sharing read and write but
// never delete, backup semantics so that directories open.
Result<platform::UniqueHandle> OpenObjectNoFollow(platform::Platform& platform, std::string_view path,
                                                  bool with_write_dac);

}  // namespace telvo::winutil
