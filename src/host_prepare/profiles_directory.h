#pragma once

#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/system.h"

namespace telvo::host_prepare {

// The machine profiles directory: the ProfilesDirectory value of the
// ProfileList key, read from the 64-bit view without expansion, with
// %SystemRoot%, %windir% and %SystemDrive% expanded from the OS Windows
// directory (a normalized local path such as C:\Windows) and nothing else.
// The result is a normalized local path below a drive root.
Result<std::string> ReadProfilesDirectory(platform::System& system, std::u16string_view windows_directory);

}  // namespace telvo::host_prepare
