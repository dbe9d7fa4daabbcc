#include "telvo_sim/offline_service.h"

#include <string>

#include "network_broker/broker_call.h"
#include "network_broker/service_main.h"
#include "common/try.h"
#include "telvo_sim/host_process.h"
#include "winformat/text.h"

namespace telvo::telvo_sim {

namespace {

namespace sim = platform::sim;
namespace service_state = platform::service_state;
using network_broker::kServiceName;

// How long (real time) the service may take to start or to stop.
constexpr std::uint32_t kServiceStateWaitMs = 20000;

bool Runs(sim::SimHost& host) {
    const sim::SimInstalledService* service = host.service().Find(kServiceName);
    return service && service->status.current_state == service_state::kRunning;
}

// The service's event-log messages, joined.
std::string LoggedMessages(sim::SimHost& host) {
    std::string messages;
    for (const auto& event : host.service().Events()) {
        for (const auto& text : event.strings) {
            messages += (messages.empty() ? "" : "; ") + winformat::Utf16ToDisplay(text);
        }
    }
    return messages.empty() ? "nothing in the event log" : messages;
}

// The SCM's part: StartServiceW, as for an auto-start service at boot.
Result<void> StartService(platform::Platform& platform) {
    auto& scm = platform.service;
    TELVO_TRY_ASSIGN(const auto manager, Lift("OpenSCManagerW", scm.OpenSCManagerW(platform::scm_access::kConnect)));
    platform::UniqueServiceHandle manager_handle(scm, manager);
    TELVO_TRY_ASSIGN(const auto service,
                     Lift("OpenServiceW", scm.OpenServiceW(manager, kServiceName, platform::service_access::kStart)));
    platform::UniqueServiceHandle service_handle(scm, service);
    return Lift("StartServiceW", scm.StartServiceW(service));
}

// A status request from a process of the user, as a client sends it.
Result<network_broker::StatusResult> AskStatus(sim::SimHost& host) {
    TELVO_TRY_ASSIGN(const network_broker::BrokerReply reply,
                     AsHostProcess(host, nullptr, [](platform::Platform& platform) {
                         return network_broker::CallBroker(platform, network_broker::StatusRequest{});
                     }));
    if (const auto* status = std::get_if<network_broker::StatusResult>(&reply.result)) return *status;
    if (const auto* error = std::get_if<network_broker::ErrorResult>(&reply.result)) return Fail(error->message);
    return Fail("the service answered a status request with another kind of reply");
}

}  // namespace

Result<void> StartOfflineService(sim::SimHost& host, bool running) {
    host.service().SetProgram(kServiceName, [&host] { (void)network_broker::RunNetworkService(host.platform()); });
    if (!running) return {};
    // The file describes the service of an earlier boot: the SCM starts it in this one.
    sim::SimInstalledService& service = *host.service().Find(kServiceName);
    service.status.current_state = service_state::kStopped;
    service.status.process_id = 0;
    service.status.controls_accepted = 0;
    service.status.check_point = 0;
    service.status.wait_hint = 0;
    TELVO_TRY(AsSystemProcess(host, StartService));
    const bool settled = host.service().WaitForStatus(
        kServiceName,
        [](const platform::ServiceStatusProcess& status) {
            return status.current_state == service_state::kRunning || status.current_state == service_state::kStopped;
        },
        kServiceStateWaitMs);
    if (!settled) return Fail("the offline-network service did not report running in time");
    if (!Runs(host)) return Fail("the offline-network service stopped at its start: " + LoggedMessages(host));
    if (auto status = AskStatus(host); !status) {
        return Fail(std::move(status.error())
                        .Context("the offline-network service does not serve (" + LoggedMessages(host) + ")"));
    }
    return {};
}

Result<void> SettleOfflineService(sim::SimHost& host) {
    if (!Runs(host)) return {};
    std::uint64_t active = 0;
    for (int request = 0; request < kSettleRequests; ++request) {
        auto status = AskStatus(host);
        if (!status) return Fail(std::move(status.error()).Context("the offline-network service's status"));
        active = status->active_leases;
        if (active == 0) return {};
    }
    return Fail("the offline-network service still holds " + std::to_string(active) +
                " active lease(s) after the helper process ended");
}

void EndOfflineService(sim::SimHost& host) {
    if (Runs(host) && host.service().SendShutdown(kServiceName)) {
        (void)host.service().WaitForStatus(
            kServiceName,
            [](const platform::ServiceStatusProcess& status) {
                return status.current_state == service_state::kStopped;
            },
            kServiceStateWaitMs);
    }
    host.service().EndServiceProcesses();
    host.processes().JoinThreads();
}

}  // namespace telvo::telvo_sim
