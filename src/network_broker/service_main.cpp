#include "network_broker/service_main.h"

namespace telvo::network_broker {

// TEMPORARY: the offline-network broker service lands with its own subsystem.
Result<void> NetworkServiceMain(platform::Platform&, const std::vector<std::u16string>&) {
    return Fail("the offline-network broker service is not implemented in this build yet");
}

}  // namespace telvo::network_broker
