#pragma once

#include <string>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::identity {

// The AppContainer's own folder, with its "Temp" subdirectory created (and
// every missing parent). The child's temporary-directory variables point there.
Result<std::string> EnsureAppContainerTemp(platform::Platform& platform, const winformat::Sid& sid);

}  // namespace telvo::identity
