#include "host_prepare/host_command.h"

namespace telvo::host_prepare {

// TEMPORARY: the host commands land with the host-preparation subsystem.
Result<void> RunHostCommand(platform::Platform&, const HostCommand&) {
    return Fail("host commands are not implemented in this build yet");
}

}  // namespace telvo::host_prepare
