#pragma once

#include <string>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::network_broker {

inline constexpr char16_t kServiceName[] = u"TelvoOfflineNetwork";

// The service main entry that the Service Control Manager's dispatcher calls.
// Its result is what the service mode reports once the dispatcher returns.
Result<void> NetworkServiceMain(platform::Platform& platform, const std::vector<std::u16string>& arguments);

}  // namespace telvo::network_broker
