#include "main/process_entry.h"

#include <exception>

#include "protocol/terminal_record.h"

namespace telvo::app {

namespace {

std::uint32_t WriteOutcome(platform::Platform& platform, DispatchOutcome& outcome) {
    if (!outcome) {
        const protocol::ErrorRecord record{protocol::kBackendErrorCode, outcome.error().Display()};
        (void)protocol::WriteTerminalRecord(platform, record);
        return kExitError;
    }
    if (!outcome->has_value()) return kExitSuccess;
    const protocol::ExitRecord record{**outcome};
    return protocol::WriteTerminalRecord(platform, record) ? kExitSuccess : kExitRecordWriteFailed;
}

std::uint32_t WritePanic(platform::Platform& platform) {
    const protocol::ErrorRecord record{protocol::kBackendPanicCode, protocol::kPanicMessage};
    (void)protocol::WriteTerminalRecord(platform, record);
    return kExitPanic;
}

}  // namespace

std::uint32_t ProcessEntry(platform::Platform& platform,
                           const std::function<DispatchOutcome(platform::Platform&)>& dispatch) {
    // A fault that escapes a thread of ours ends the process silently with
    // the panic code; nothing reaches standard error.
    static platform::Platform* terminating_platform = nullptr;
    terminating_platform = &platform;
    std::set_terminate([] { terminating_platform->console.ExitProcess(kExitPanic); std::abort(); });

    std::uint32_t exit_code = kExitPanic;
    try {
        DispatchOutcome outcome = dispatch(platform);
        exit_code = WriteOutcome(platform, outcome);
    } catch (...) {
        // The payload is discarded: it never reaches the record.
        exit_code = WritePanic(platform);
    }
    platform.console.ExitProcess(exit_code);
    return exit_code;
}

std::uint32_t ProcessEntry(platform::Platform& platform) { return ProcessEntry(platform, &Dispatch); }

}  // namespace telvo::app
