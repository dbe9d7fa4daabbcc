#include "network_broker/service_main.h"

#include <memory>

#include "common/try.h"
#include "network_broker/broker_call.h"
#include "network_broker/broker_requests.h"
#include "network_broker/pipe_transfer.h"
#include "network_broker/protected_service.h"
#include "network_broker/service_control.h"
#include "network_broker/service_event_log.h"
#include "offline_network/lease_record.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_transaction.h"
#include "platform/unique_handle.h"
#include "windows/current_user_sid.h"
#include "winformat/ordinal_case.h"
#include "winformat/sddl.h"

namespace telvo::network_broker {

namespace {

using platform::Handle;
using platform::Platform;
using platform::UniqueHandle;
namespace win32_error = platform::win32_error;

constexpr std::string_view kLocalSystemSid = "S-1-5-18";

// The service's life in its process: the broker state and the status
// reporter that the control handler shares with the service main. The
// handler may outlive the service main's frame, so both hold it.
struct BrokerService {
    explicit BrokerService(Platform& host) : platform(host), reporter(host) {}
    Platform& platform;
    BrokerState state;
    ServiceStatusReporter reporter;
};

Result<void> CheckLocalSystem(Platform& platform) {
    TELVO_TRY_ASSIGN(const winformat::Sid user, windows::CurrentUserSid(platform));
    if (user.ToString() != kLocalSystemSid) return Fail("offline-network broker must run as LocalSystem");
    return {};
}

// Verifies the layout and reads the leases in one transaction; then removes
// each lease of another boot and keeps those of this boot as retained.
Result<void> TakeOverLeases(Platform& platform, BrokerState& state) {
    std::vector<offline_network::OfflineLease> leases;
    TELVO_TRY_ASSIGN(const std::string boot_id, offline_network::ReadBootIdentity(platform.wfp));
    {
        TELVO_TRY_ASSIGN(auto transaction, offline_network::WfpTransaction::Begin(platform.wfp));
        TELVO_TRY(offline_network::VerifyOfflineLayout(platform.wfp, transaction.engine()));
        TELVO_TRY_ASSIGN(leases, offline_network::EnumerateOfflineLeases(platform, transaction.engine()));
        TELVO_TRY(transaction.Commit());
    }
    std::vector<offline_network::LeaseRecord> retained;
    for (const offline_network::OfflineLease& lease : leases) {
        if (lease.record.boot_id == boot_id) {
            retained.push_back(lease.record);
        } else {
            TELVO_TRY(offline_network::RemoveOfflineLease(platform, lease.record));
        }
    }
    PoisonableMutex::Guard guard(state.lock);
    if (guard.poisoned()) return Fail("broker admission lock poisoned");
    state.boot_id = boot_id;
    state.retained = std::move(retained);
    state.lease_count = state.active.size() + state.retained.size();
    return {};
}

Result<UniqueHandle> CreateBrokerPipe(Platform& platform) {
    auto descriptor = winformat::ParseSddl(kBrokerPipeSecurity);
    if (!descriptor) return std::unexpected(Error::Win32("network pipe security descriptor", win32_error::kInvalidSecurityDescr));
    const std::vector<std::uint8_t> bytes = descriptor->ToSelfRelative();
    auto pipe = platform.pipes.CreateNamedPipeW(kBrokerPipeName, kBrokerPipeOpenMode, kBrokerPipeMode,
                                                /*max_instances=*/1, kBrokerPipeBufferSize, kBrokerPipeBufferSize,
                                                /*default_timeout_ms=*/0, bytes);
    if (!pipe) return FailSys("CreateNamedPipeW(exclusive local broker)", pipe.error());
    return UniqueHandle(platform.kernel, *pipe);
}

// The service is the process and the image that the Service Control
// Manager and the file system name for it, not merely a LocalSystem
// process that holds the pipe.
Result<void> CheckSelf(Platform& platform) {
    TELVO_TRY_ASSIGN(const ProtectedService service, QueryProtectedService(platform));
    const std::uint32_t own_id = platform.processes.GetCurrentProcessId();
    TELVO_TRY_ASSIGN(const std::u16string own_image,
                     Lift("QueryFullProcessImageNameW",
                          platform.processes.QueryFullProcessImageNameW(platform::kCurrentProcess)));
    if (service.process_id != own_id || !winformat::EqualIgnoringCase(service.image_path, own_image)) {
        return Fail("network service process differs from its protected SCM PID or image");
    }
    return {};
}

std::unexpected<Error> ConnectFailure(SysError error) {
    return Fail("ConnectNamedPipe failed with Win32 error " + std::to_string(error.code));
}

// Waits up to 500 ms for a client; false when none came. A connect still
// under way is cancelled and collected before its OVERLAPPED goes away.
Result<bool> AwaitClient(Platform& platform, Handle pipe) {
    TELVO_TRY_ASSIGN(const Handle event_handle,
                     Lift("CreateEventW(pipe connect)",
                          platform.pipes.CreateEventW(/*manual_reset=*/true, /*initial_state=*/false)));
    const UniqueHandle event(platform.kernel, event_handle);
    platform::Overlapped overlapped{};
    overlapped.event = event.get();
    auto started = platform.pipes.ConnectNamedPipe(pipe, overlapped);
    if (started || started.error() == SysError::Win32(win32_error::kPipeConnected)) return true;
    if (started.error() != SysError::Win32(win32_error::kIoPending)) return ConnectFailure(started.error());
    auto waited = platform.pipes.GetOverlappedResultEx(pipe, overlapped, kConnectWaitMs, /*alertable=*/false);
    if (waited) return true;
    (void)platform.pipes.CancelIoEx(pipe, overlapped);
    auto collected =
        platform.pipes.GetOverlappedResultEx(pipe, overlapped, kCancelledOperationWaitMs, /*alertable=*/false);
    if (collected) return true;  // a client came as the wait ended
    if (collected.error() == SysError::Win32(win32_error::kIoIncomplete) ||
        collected.error() == SysError::Win32(win32_error::kWaitTimeout)) {
        platform.pipes.RaiseFailFastException();
    }
    if (waited.error() == SysError::Win32(win32_error::kWaitTimeout)) return false;
    return ConnectFailure(waited.error());
}

Result<bool> Stopping(BrokerState& state) {
    PoisonableMutex::Guard guard(state.lock);
    if (guard.poisoned()) return Fail("broker admission lock poisoned");
    return state.stopping;
}

Result<void> ServeClients(Platform& platform, BrokerState& state, Handle pipe) {
    for (;;) {
        TELVO_TRY_ASSIGN(const bool stopping, Stopping(state));
        if (stopping) return {};
        TELVO_TRY(SweepLeaseOwners(platform, state, /*final_sweep=*/false));
        TELVO_TRY_ASSIGN(const bool connected, AwaitClient(platform, pipe));
        if (!connected) continue;
        // The handler answered its own errors to the client.
        (void)ServeBrokerClient(platform, state, pipe);
        TELVO_TRY(Lift("DisconnectNamedPipe", platform.pipes.DisconnectNamedPipe(pipe)));
    }
}

// From the layout check to the end of the serve loop; the pipe is closed
// when this returns, after the final sweep.
Result<void> RunBroker(BrokerService& service) {
    Platform& platform = service.platform;
    TELVO_TRY(CheckLocalSystem(platform));
    TELVO_TRY(TakeOverLeases(platform, service.state));
    TELVO_TRY_ASSIGN(UniqueHandle pipe, CreateBrokerPipe(platform));
    {
        PoisonableMutex::Guard guard(service.state.lock);
        service.state.accepting = !service.state.stopping;
    }
    (void)service.reporter.Running(platform::service_accept::kShutdown);
    Result<void> served = CheckSelf(platform);
    if (served) served = ServeClients(platform, service.state, pipe.get());
    {
        PoisonableMutex::Guard guard(service.state.lock);
        service.state.stopping = true;
        service.state.accepting = false;
    }
    Result<void> swept = SweepLeaseOwners(platform, service.state, /*final_sweep=*/true);
    if (!served) return served;
    return swept;
}

// Runs the service to its end and says whether it failed, writing the
// reason to the event log.
bool RunToEnd(BrokerService& service) {
    try {
        auto ran = RunBroker(service);
        if (!ran) {
            WriteServiceEvent(service.platform, ServiceEvent::stopped_after_failure,
                              "network service stopped after failure: " + ran.error().Display());
            return true;
        }
        return false;
    } catch (...) {
        WriteServiceEvent(service.platform, ServiceEvent::stopped_after_panic,
                          "network service stopped after an internal panic; persistent network filters retained");
        return true;
    }
}

}  // namespace

std::atomic<bool>& ServiceStopFlag() {
    static std::atomic<bool> stop{false};
    return stop;
}

Result<void> RunNetworkService(Platform& platform) {
    ServiceStopFlag().store(false);
    auto dispatched = platform.service.StartServiceCtrlDispatcherW(
        kServiceName, [&platform](const std::vector<std::u16string>& arguments) {
            NetworkServiceMain(platform, arguments);
        });
    if (!dispatched) return FailSys("StartServiceCtrlDispatcherW", dispatched.error());
    return {};
}

void NetworkServiceMain(Platform& platform, const std::vector<std::u16string>&) {
    auto service = std::make_shared<BrokerService>(platform);
    auto registered = platform.service.RegisterServiceCtrlHandlerExW(kServiceName, [service](std::uint32_t control) {
        if (!service->reporter.has_handle()) return win32_error::kServiceCannotAcceptCtrl;
        return HandleServiceControl(service->platform, service->state, service->reporter, control);
    });
    if (!registered) {
        WriteServiceEvent(platform, ServiceEvent::handler_registration_failed,
                          "service handler registration: " +
                              Error::FromSys("RegisterServiceCtrlHandlerExW", registered.error()).Display());
        return;
    }
    service->reporter.SetHandle(*registered);
    (void)service->reporter.Pending(platform::service_state::kStartPending);
    const bool failed = RunToEnd(*service);
    (void)service->reporter.Stopped(failed);
}

}  // namespace telvo::network_broker
