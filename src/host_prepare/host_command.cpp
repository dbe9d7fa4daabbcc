#include "host_prepare/host_command.h"

namespace telvo::host_prepare {

// This build reports every host command as not implemented, after the
// command line was checked, and changes nothing on the host.
Result<void> RunHostCommand(platform::Platform&, const HostCommand&) {
    return Fail("host commands are not implemented in this build yet");
}

}  // namespace telvo::host_prepare
