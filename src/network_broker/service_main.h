#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace telvo::network_broker {

inline constexpr char16_t kServiceName[] = u"TelvoOfflineNetwork";

// The service's stop flag: set when the service is to stop. The dispatcher
// clears it before it hands the process to the Service Control Manager.
std::atomic<bool>& ServiceStopFlag();

// The service main entry, called by the Service Control Manager's dispatcher
// on its thread with the service arguments. In this build it returns at
// once: it registers no control handler, reports no status and serves no
// client, so the Service Control Manager never sees the service running.
void NetworkServiceMain(platform::Platform& platform, const std::vector<std::u16string>& arguments);

}  // namespace telvo::network_broker
