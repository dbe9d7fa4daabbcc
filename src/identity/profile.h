#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"
#include "identity/capability_set.h"
#include "platform/platform.h"
#include "winformat/sid.h"

namespace telvo::identity {

// A sandbox's AppContainer profile, from its fresh name to its deletion.

// "Telvo.Sandbox." followed by 32 hexadecimal digits. The name is also the
// profile's display name and description.
inline constexpr std::string_view kProfileNamePrefix = "Telvo.Sandbox.";
inline constexpr std::size_t kProfileNameDigits = 32;
inline constexpr std::size_t kProfileNameLength = kProfileNamePrefix.size() + kProfileNameDigits;

// A fresh name from 128 random bits, with lower-case digits.
Result<std::string> NewProfileName(platform::System& system);

// Accepts digits of either case ("invalid Telvo AppContainer profile name"
// otherwise); names read back from a journal or a broker request pass
// through here too.
Result<void> ValidateProfileName(std::string_view name);

// Each of the three validates the name first and passes its error through
// unchanged. A call that succeeds without a usable SID fails like a failed
// call, with the HRESULT it returned.

// A new profile (never an existing one reused) with the name as its display
// name and description; returns its AppContainer SID. A profile that was
// created is not deleted here on an error, also not when its SID is
// unusable: the run's journal names it, and cleanup and recovery delete it by
// name.
Result<winformat::Sid> CreateProfile(platform::AppContainer& appcontainer, std::string_view name,
                                     const CapabilitySet& capabilities);

// The AppContainer SID of the name, whether or not the profile exists.
Result<winformat::Sid> DeriveProfileSid(platform::AppContainer& appcontainer, std::string_view name);

// Succeeds also when the profile no longer exists (HRESULT 0x80070002 or 0x80070490).
Result<void> DeleteProfile(platform::AppContainer& appcontainer, std::string_view name);

// The AppContainer's own folder, with its "Temp" subdirectory created (and
// every missing parent; an existing directory is accepted). The child's
// temporary-directory variables point there.
Result<std::string> EnsureAppContainerTemp(platform::Platform& platform, const winformat::Sid& sid);

}  // namespace telvo::identity
