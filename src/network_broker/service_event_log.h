#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace telvo::network_broker {

// The longest message the service writes to the event log, in UTF-16 units;
// a longer one is cut there.
inline constexpr std::size_t kMaxEventMessageUnits = 2047;

// The service's events: their ids and types.
enum class ServiceEvent : std::uint32_t {
    handler_registration_failed = 1,  // error
    stopped_after_failure = 2,        // error
    stopped_after_panic = 3,          // error
    unexpected_stop = 4,              // warning
    quiesced_status_unpublished = 5,  // error
};

// The message as UTF-16 text cut to kMaxEventMessageUnits units.
std::u16string EventMessageText(std::string_view message);

// Writes one event with the message as its one string, under the source
// "TelvoOfflineNetwork" of the local computer. The event log is the
// service's last word: a failure to write it is dropped.
void WriteServiceEvent(platform::Platform& platform, ServiceEvent event, std::string_view message);

}  // namespace telvo::network_broker
