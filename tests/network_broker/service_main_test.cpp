#include "network_broker/service_main.h"

#include <gtest/gtest.h>

#include "network_broker/broker_call.h"
#include "network_broker/service_control.h"
#include "network_broker/service_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;
using platform::ServiceStatus;
namespace accept = platform::service_accept;

constexpr std::uint32_t kOwnProcess = platform::service_type::kWin32OwnProcess;

ServiceStatus Reported(std::uint32_t state, std::uint32_t accepted = 0, std::uint32_t check_point = 0,
                       std::uint32_t wait_hint = 0, std::uint32_t exit_code = 0, std::uint32_t specific = 0) {
    return ServiceStatus{kOwnProcess, state, accepted, exit_code, specific, check_point, wait_hint};
}
const ServiceStatus kStartPending = Reported(service_state::kStartPending, 0, 1, 60000);
const ServiceStatus kStoppedAfterFailure = Reported(service_state::kStopped, 0, 0, 0, 1066, 1);

std::string Stopped(std::string_view reason) { return "network service stopped after failure: " + std::string(reason); }

TEST(NetworkService, RefusesToRunAsAnyoneButLocalSystem) {
    // The dispatcher of a console process that the SCM started as the user.
    ServiceTestHost test;
    test.InstallLayout();
    test.host.service().StartedByServiceControlManager({u"TelvoOfflineNetwork"});
    ASSERT_TRUE(RunNetworkService(test.platform()));
    EXPECT_EQ(test.host.service().StatusHistory(kServiceName),
              (std::vector<ServiceStatus>{kStartPending, kStoppedAfterFailure}));
    EXPECT_EQ(test.EventMessages(),
              std::vector<std::string>{Stopped("offline-network broker must run as LocalSystem")});
    // Nothing listens.
    EXPECT_EQ(test.host.faults().Count("CreateNamedPipeW"), 0u);
}

TEST(NetworkService, StopsWhenTheLayoutIsMissingOrDiffers) {
    ServiceTestHost test;
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.status().win32_exit_code, 1066u);
    EXPECT_EQ(test.status().process_id, 0u);
    const auto messages = test.EventMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].starts_with(Stopped(""))) << messages[0];
    EXPECT_EQ(test.host.faults().Count("CreateNamedPipeW"), 0u);
    EXPECT_EQ(test.host.service().StatusHistory(kServiceName).front(), kStartPending);
}

TEST(NetworkService, HandlerRegistrationFailureIsLoggedAndNothingElseHappens) {
    ServiceTestHost test;
    test.InstallLayout();
    const std::uint64_t engine_opens = test.host.faults().Count("FwpmEngineOpen0");
    test.host.faults().FailOn("RegisterServiceCtrlHandlerExW", 1, SysError::Win32(1063));
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.EventMessages(),
              std::vector<std::string>{
                  "service handler registration: RegisterServiceCtrlHandlerExW failed with Win32 error 1063"});
    EXPECT_TRUE(test.host.service().StatusHistory(kServiceName).empty());
    EXPECT_EQ(test.host.faults().Count("FwpmEngineOpen0"), engine_opens);
}

// Leases of an earlier boot are removed when the service starts; those of
// this boot stay, retained, whatever happens to the service afterwards.
TEST(NetworkService, RemovesStaleBootLeasesAndRetainsThisBootsAtStart) {
    ServiceTestHost test;
    test.InstallLayout();
    const auto stale = test.InstallLease(1);
    test.host.wfp().Reboot();
    const auto current = test.InstallLease(2);
    ASSERT_NE(stale.boot_id, current.boot_id);
    ASSERT_EQ(test.LeasedProfiles().size(), 2u);

    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.host.service().WaitForStatus(kServiceName, [](const auto& status) {
        return status.current_state == service_state::kRunning || status.current_state == service_state::kStopped;
    }));
    EXPECT_EQ(test.LeasedProfiles(), std::vector<std::string>{current.profile_name});
    if (test.status().current_state == service_state::kRunning) {
        EXPECT_TRUE(test.host.service().SendShutdown(kServiceName));
        ASSERT_TRUE(test.WaitForStopped());
    }
    EXPECT_EQ(test.LeasedProfiles(), std::vector<std::string>{current.profile_name});
}

// From here on the service serves its pipe.

TEST(NetworkService, StartsListeningAndReportsRunningAcceptingShutdownOnly) {
    ServiceTestHost test;
    test.InstallLayout();
    test.host.faults().Watch("CreateNamedPipeW");
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForState(service_state::kRunning)) << (test.EventMessages().empty() ? "" : test.EventMessages()[0]);
    EXPECT_EQ(test.status().controls_accepted, accept::kShutdown);
    EXPECT_NE(test.status().process_id, 0u);
    // One exclusive overlapped duplex instance, byte mode, remote clients
    // rejected, one frame's room each way, no default time-out.
    EXPECT_EQ(test.host.faults().Log(),
              (std::vector<platform::sim::FaultPlan::Call>{
                  {"CreateNamedPipeW", {0x40080003, 0x8, 1, 16388, 16388, 0}}}));
    EXPECT_EQ(test.host.service().StatusHistory(kServiceName),
              (std::vector<ServiceStatus>{kStartPending, Reported(service_state::kRunning, accept::kShutdown)}));

    EXPECT_TRUE(test.host.service().SendShutdown(kServiceName));
    ASSERT_TRUE(test.WaitForStopped());
    const auto history = test.host.service().StatusHistory(kServiceName);
    ASSERT_EQ(history.size(), 4u);
    EXPECT_EQ(history[2], Reported(service_state::kStopPending, 0, 1, 60000));
    EXPECT_EQ(history[3], Reported(service_state::kStopped));
    EXPECT_TRUE(test.EventMessages().empty());
}

TEST(NetworkService, ASecondInstanceCannotTakeThePipe) {
    ServiceTestHost test;
    test.InstallLayout();
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForState(service_state::kRunning));
    const auto running = test.status();
    // The first instance checks itself after it reports running: it serves
    // once that is done.
    auto served = CallBroker(test.platform(), StatusRequest{});
    ASSERT_TRUE(served) << served.error().Display();

    // Another LocalSystem process runs the same service main.
    SimHelperProcess& second = test.host.StartHelperProcessAs(std::make_shared<const SimToken>(SimToken::LocalSystem()));
    {
        const auto binding = test.host.Bind(second);
        test.host.service().StartedByServiceControlManager({u"TelvoOfflineNetwork"});
        ASSERT_TRUE(RunNetworkService(test.platform()));
    }
    EXPECT_EQ(test.EventMessages(),
              std::vector<std::string>{Stopped("CreateNamedPipeW(exclusive local broker) failed with Win32 error 5")});
    // The first instance still serves: it is the one that stops on SHUTDOWN.
    test.service().status = running;
    EXPECT_TRUE(test.host.service().SendShutdown(kServiceName));
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.status().win32_exit_code, 0u);
}

TEST(NetworkService, RefusesToServeFromAnImageOtherThanTheProtectedOne) {
    ServiceTestHost test;
    test.InstallLayout();
    // The process runs another copy of the executable than the installed one.
    test.host.service().SetProgram(kServiceName, [&test] {
        test.host.caller().SetImagePath(u"C:\\Users\\alice\\work\\telvo-windows-sandbox.exe");
        (void)RunNetworkService(test.platform());
    });
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.EventMessages(),
              std::vector<std::string>{Stopped("network service process differs from its protected SCM PID or image")});
    EXPECT_EQ(test.status().win32_exit_code, 1066u);
}

TEST(NetworkService, RestartedAfterACrashKeepsEveryFilter) {
    ServiceTestHost test;
    test.InstallLayout();
    const auto lease = test.InstallLease(3);
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForState(service_state::kRunning));
    test.host.service().KillServiceProcess(kServiceName);
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.status().win32_exit_code, 1067u);
    EXPECT_EQ(test.LeasedProfiles(), std::vector<std::string>{lease.profile_name});

    // The SCM starts it again: the lease of this boot is retained, not removed.
    ASSERT_TRUE(test.Start());
    ASSERT_TRUE(test.WaitForState(service_state::kRunning));
    EXPECT_EQ(test.LeasedProfiles(), std::vector<std::string>{lease.profile_name});
    // A retained lease keeps the service from being quiesced and stopped.
    ASSERT_TRUE(test.Control(kQuiesceControl));
    EXPECT_EQ(test.status().controls_accepted, accept::kShutdown);
    EXPECT_EQ(test.Control(platform::service_control::kStop).error(), SysError::Win32(1052));
    EXPECT_TRUE(test.host.service().SendShutdown(kServiceName));
    ASSERT_TRUE(test.WaitForStopped());
    EXPECT_EQ(test.LeasedProfiles(), std::vector<std::string>{lease.profile_name});
}

}  // namespace
}  // namespace telvo::network_broker
