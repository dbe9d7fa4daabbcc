#pragma once

#include "platform/sync.h"

namespace telvo::platform::win32 {

class Win32Sync final : public Sync {
};

}  // namespace telvo::platform::win32
