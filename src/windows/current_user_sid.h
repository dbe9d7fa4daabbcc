#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "winutil/sid.h"

namespace telvo::windows {

// The user SID of the process token (TokenUser).
Result<winutil::Sid> CurrentUserSid(platform::Platform& platform);

}  // namespace telvo::windows
