#include "network_broker/service_control.h"

#include "network_broker/service_event_log.h"
#include "network_broker/service_main.h"

namespace telvo::network_broker {

namespace {

namespace state_code = platform::service_state;
namespace accept = platform::service_accept;
namespace control_code = platform::service_control;

constexpr std::uint32_t kNoError = 0;

platform::ServiceStatus Status(std::uint32_t current_state) {
    platform::ServiceStatus status;
    status.service_type = platform::service_type::kWin32OwnProcess;
    status.current_state = current_state;
    return status;
}

// An accepted STOP or SHUTDOWN, with the state lock held.
void BeginStop(BrokerState& state, const ServiceStatusReporter& reporter) {
    state.accepting = false;
    state.stopping = true;
    ServiceStopFlag().store(true);
    (void)reporter.Pending(state_code::kStopPending);
}

}  // namespace

SysResult<void> ServiceStatusReporter::Report(const platform::ServiceStatus& status) const {
    return platform_.service.SetServiceStatus(platform::ServiceStatusHandle{handle_.load()}, status);
}

SysResult<void> ServiceStatusReporter::Pending(std::uint32_t state) const {
    platform::ServiceStatus status = Status(state);
    status.check_point = 1;
    status.wait_hint = kPendingWaitHintMs;
    return Report(status);
}

SysResult<void> ServiceStatusReporter::Running(std::uint32_t controls_accepted) const {
    platform::ServiceStatus status = Status(state_code::kRunning);
    status.controls_accepted = controls_accepted;
    return Report(status);
}

SysResult<void> ServiceStatusReporter::Stopped(bool failed) const {
    platform::ServiceStatus status = Status(state_code::kStopped);
    if (failed) {
        status.win32_exit_code = platform::win32_error::kServiceSpecificError;
        status.service_specific_exit_code = kServiceFailureExitCode;
    }
    return Report(status);
}

std::uint32_t HandleServiceControl(platform::Platform& platform, BrokerState& state,
                                   const ServiceStatusReporter& reporter, std::uint32_t control) {
    if (control == control_code::kInterrogate) return kNoError;
    if (control == kQuiesceControl) {
        PoisonableMutex::Guard guard(state.lock);
        if (guard.poisoned() || state.stopping || state.lease_count != 0) return kNoError;
        state.accepting = false;
        state.quiesced = true;
        if (auto published = reporter.Running(accept::kStop | accept::kShutdown); !published) {
            WriteServiceEvent(platform, ServiceEvent::quiesced_status_unpublished,
                              "publish quiesced service status: " +
                                  Error::FromSys("SetServiceStatus", published.error()).Display());
            state.stopping = true;
            ServiceStopFlag().store(true);
        }
        return kNoError;
    }
    if (control == control_code::kStop || control == control_code::kShutdown) {
        PoisonableMutex::Guard guard(state.lock);
        if (guard.poisoned()) return platform::win32_error::kServiceCannotAcceptCtrl;
        if (control == control_code::kStop && !(state.quiesced && state.lease_count == 0)) {
            WriteServiceEvent(platform, ServiceEvent::unexpected_stop,
                              "unexpected STOP before empty-service quiescence; sandbox Jobs and filters retained");
            return kNoError;
        }
        BeginStop(state, reporter);
        return kNoError;
    }
    return platform::win32_error::kCallNotImplemented;
}

}  // namespace telvo::network_broker
