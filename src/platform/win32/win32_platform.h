#pragma once

#include "platform/platform.h"

namespace telvo::platform::win32 {

// The real Windows host: one process-wide instance.
Platform& Win32Platform();

}  // namespace telvo::platform::win32
