#include "network_broker/service_main.h"

namespace telvo::network_broker {

std::atomic<bool>& ServiceStopFlag() {
    static std::atomic<bool> stop{false};
    return stop;
}

void NetworkServiceMain(platform::Platform&, const std::vector<std::u16string>&) {}

}  // namespace telvo::network_broker
