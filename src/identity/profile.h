#pragma once

#include <string_view>

#include "common/error.h"
#include "identity/capability_set.h"
#include "platform/appcontainer.h"
#include "winformat/sid.h"

namespace telvo::identity {

// Each validates the name first and passes its error through unchanged.

// A new profile (never an existing one reused) with the name as its display
// name and description; returns its AppContainer SID.
Result<winformat::Sid> CreateProfile(platform::AppContainer& appcontainer, std::string_view name,
                                   const CapabilitySet& capabilities);

// The AppContainer SID of the name, whether or not the profile exists.
Result<winformat::Sid> DeriveProfileSid(platform::AppContainer& appcontainer, std::string_view name);

// Succeeds also when the profile no longer exists.
Result<void> DeleteProfile(platform::AppContainer& appcontainer, std::string_view name);

}  // namespace telvo::identity
