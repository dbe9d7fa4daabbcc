#pragma once

#include <string_view>

#include "common/error.h"
#include "platform/appcontainer.h"
#include "winformat/sid.h"

namespace telvo::host_prepare {

// The one capability SID derived from `name`; a derivation that yields
// anything but exactly one SID fails with `refusal`.
Result<winformat::Sid> DeriveSingleCapabilitySid(platform::AppContainer& appcontainer, std::string_view name,
                                                 std::string_view refusal);

}  // namespace telvo::host_prepare
