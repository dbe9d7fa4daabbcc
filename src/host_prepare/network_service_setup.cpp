#include "host_prepare/network_service_setup.h"

namespace telvo::host_prepare {

// Interface only: the installation is being built.
Result<NetworkSetupReport> RunNetworkOperation(platform::Platform&, HostOperation) {
    return Fail("the network service operation is not built yet");
}

}  // namespace telvo::host_prepare
