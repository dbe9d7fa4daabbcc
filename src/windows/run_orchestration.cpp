#include "windows/run_orchestration.h"

namespace telvo::windows {

// This build does not carry out requests yet: every request, run or recover,
// ends in this error record and changes nothing on the host.
Result<std::int32_t> ExecuteRequest(platform::Platform&, const protocol::Request&) {
    return Fail("sandbox runs are not implemented in this build yet");
}

}  // namespace telvo::windows
