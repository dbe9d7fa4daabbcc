#pragma once

#include "platform/appcontainer.h"

namespace telvo::platform::win32 {

class Win32AppContainer final : public AppContainer {
};

}  // namespace telvo::platform::win32
