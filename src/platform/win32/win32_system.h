#pragma once

#include "platform/system.h"

namespace telvo::platform::win32 {

class Win32System final : public System {
};

}  // namespace telvo::platform::win32
