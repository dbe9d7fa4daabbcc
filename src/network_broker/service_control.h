#pragma once

#include <atomic>
#include <cstdint>

#include "common/error.h"
#include "network_broker/broker_state.h"
#include "platform/platform.h"

namespace telvo::network_broker {

// The custom control that quiesces the service before it may be stopped.
inline constexpr std::uint32_t kQuiesceControl = 128;
// The wait hint of the pending states.
inline constexpr std::uint32_t kPendingWaitHintMs = 60000;
// dwServiceSpecificExitCode of a service that stopped after a failure.
inline constexpr std::uint32_t kServiceFailureExitCode = 1;

// The service's status as the Service Control Manager is told it, always of
// an own-process service, through the handle that the control handler's
// registration gave (set once, then read from both threads).
class ServiceStatusReporter {
public:
    explicit ServiceStatusReporter(platform::Platform& platform) : platform_(platform) {}

    void SetHandle(platform::ServiceStatusHandle handle) { handle_.store(static_cast<std::uint64_t>(handle)); }
    bool has_handle() const { return handle_.load() != 0; }

    // START_PENDING and STOP_PENDING: no control accepted, check point 1, wait hint 60000 ms.
    SysResult<void> Pending(std::uint32_t state) const;
    SysResult<void> Running(std::uint32_t controls_accepted) const;
    // STOPPED; after a failure with ERROR_SERVICE_SPECIFIC_ERROR.
    SysResult<void> Stopped(bool failed) const;

private:
    SysResult<void> Report(const platform::ServiceStatus& status) const;

    platform::Platform& platform_;
    std::atomic<std::uint64_t> handle_{0};
};

// The control handler, on the dispatcher's thread, sharing the broker state
// through its lock with the serve loop:
// - INTERROGATE: NO_ERROR;
// - quiesce: with the lock sound, the service not stopping and no lease
//   active or retained, Register closes and the service reports that it
//   accepts STOP (and SHUTDOWN); if that report fails the service stops.
//   Otherwise nothing changes. NO_ERROR;
// - STOP: only once quiesced with no lease; otherwise the event log says so
//   and nothing changes (NO_ERROR). SHUTDOWN: always. Either stops
//   registrations and the serve loop and reports STOP_PENDING;
//   with the lock poisoned, ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
// - anything else: ERROR_CALL_NOT_IMPLEMENTED.
std::uint32_t HandleServiceControl(platform::Platform& platform, BrokerState& state,
                                   const ServiceStatusReporter& reporter, std::uint32_t control);

}  // namespace telvo::network_broker
