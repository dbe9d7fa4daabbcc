#pragma once

#include <string>

#include "common/error.h"
#include "platform/appcontainer.h"
#include "winformat/sid.h"

namespace telvo::identity {

// The SID's text as Windows writes it ("S-1-15-2-..."), from ConvertSidToStringSidW.
Result<std::string> SidToString(platform::AppContainer& appcontainer, const winformat::Sid& sid);

}  // namespace telvo::identity
