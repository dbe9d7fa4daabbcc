#pragma once

#include "platform/files.h"

namespace telvo::platform::win32 {

class Win32Files final : public Files {
};

}  // namespace telvo::platform::win32
