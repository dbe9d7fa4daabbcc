#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::windows {

// The user SID of the process token (TokenUser).
Result<winformat::Sid> CurrentUserSid(platform::Platform& platform);

}  // namespace telvo::windows
