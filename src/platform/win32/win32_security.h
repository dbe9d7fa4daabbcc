#pragma once

#include "platform/security.h"

namespace telvo::platform::win32 {

class Win32Security final : public Security {
};

}  // namespace telvo::platform::win32
