#include "windows/run_orchestration.h"

namespace telvo::windows {

// TEMPORARY: run orchestration lands with the sandbox-run subsystem.
Result<std::int32_t> ExecuteRequest(platform::Platform&, const protocol::Request&) {
    return Fail("sandbox runs are not implemented in this build yet");
}

}  // namespace telvo::windows
