#include "main/process_entry.h"

#include <atomic>
#include <cstdlib>
#include <exception>

namespace telvo::app {

namespace {

// The process that the entry runs, for the terminate handler.
struct RunningProcess {
    platform::Platform& platform;
    protocol::TerminalRecordWriter writer;
};
std::atomic<RunningProcess*> g_running{nullptr};

void OnTerminate() {
    if (RunningProcess* running = g_running.load()) EndWithPanic(running->platform, running->writer);
    std::_Exit(static_cast<int>(kExitPanic));
}

// Publishes the running process to the terminate handler for the entry's
// lifetime; where ending the process returns (the simulated host), the
// earlier handler comes back.
class TerminateHandlerScope {
public:
    explicit TerminateHandlerScope(RunningProcess& running) {
        g_running.store(&running);
        previous_ = std::set_terminate(&OnTerminate);
    }
    ~TerminateHandlerScope() {
        std::set_terminate(previous_);
        g_running.store(nullptr);
    }
    TerminateHandlerScope(const TerminateHandlerScope&) = delete;
    TerminateHandlerScope& operator=(const TerminateHandlerScope&) = delete;

private:
    std::terminate_handler previous_ = nullptr;
};

std::uint32_t WritePanicRecord(protocol::TerminalRecordWriter& writer) {
    (void)writer.Write(protocol::ErrorRecord{protocol::kBackendPanicCode, protocol::kPanicMessage});
    return kExitPanic;
}

std::uint32_t WriteOutcome(protocol::TerminalRecordWriter& writer, const DispatchOutcome& outcome) {
    if (!outcome) {
        (void)writer.Write(protocol::ErrorRecord{protocol::kBackendErrorCode, outcome.error().Display()});
        return kExitError;
    }
    if (!outcome->has_value()) return kExitSuccess;
    return writer.Write(protocol::ExitRecord{**outcome}) ? kExitSuccess : kExitRecordWriteFailed;
}

}  // namespace

std::uint32_t EndWithPanic(platform::Platform& platform, protocol::TerminalRecordWriter& writer) {
    const std::uint32_t exit_code = WritePanicRecord(writer);
    platform.console.ExitProcess(exit_code);
    return exit_code;
}

std::uint32_t ProcessEntry(platform::Platform& platform,
                           const std::function<DispatchOutcome(platform::Platform&)>& dispatch) {
    RunningProcess running{platform, protocol::TerminalRecordWriter(platform)};
    const TerminateHandlerScope terminate_handler(running);

    std::uint32_t exit_code = kExitPanic;
    try {
        const DispatchOutcome outcome = dispatch(platform);
        exit_code = WriteOutcome(running.writer, outcome);
    } catch (...) {
        // The payload is discarded: it never reaches the record.
        exit_code = WritePanicRecord(running.writer);
    }
    platform.console.ExitProcess(exit_code);
    return exit_code;
}

std::uint32_t ProcessEntry(platform::Platform& platform) { return ProcessEntry(platform, &Dispatch); }

}  // namespace telvo::app
