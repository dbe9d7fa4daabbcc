#include "platform/sim/sim_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "network_broker/service_test_host.h"

namespace telvo::platform::sim {
namespace {

using network_broker::kServiceName;
using network_broker::testing::ServiceTestHost;
namespace accept = service_accept;
namespace control = service_control;

// A service program of the test's: its main registers `handler`, reports
// `running` and waits until the test releases it.
struct ScriptedService {
    ServiceTestHost test;
    std::atomic<bool> released{false};
    std::optional<SysError> second_dispatch;
    ServiceStatusHandle handle{};

    void Run(ServiceControlHandler handler, std::uint32_t accepted, std::uint32_t state = service_state::kRunning) {
        test.host.service().SetProgram(kServiceName, [this, handler, accepted, state] {
            Platform& platform = test.platform();
            auto main = [&](const auto&) {
                handle = platform.service.RegisterServiceCtrlHandlerExW(kServiceName, handler).value();
                ServiceStatus status{service_type::kWin32OwnProcess, state, accepted, 0, 0, 0, 0};
                (void)platform.service.SetServiceStatus(handle, status);
                while (!released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                status.current_state = service_state::kStopped;
                status.controls_accepted = 0;
                (void)platform.service.SetServiceStatus(handle, status);
            };
            (void)platform.service.StartServiceCtrlDispatcherW(kServiceName, main);
            auto again = platform.service.StartServiceCtrlDispatcherW(kServiceName, main);
            if (!again) second_dispatch = again.error();
        });
        ASSERT_TRUE(test.Start());
        ASSERT_TRUE(test.WaitForState(state));
    }
    ~ScriptedService() {
        released.store(true);
        test.host.processes().JoinThreads();
    }
};

TEST(SimServiceControl, TheServiceRunsInALocalSystemProcessOfItsOwnAndStopsOnce) {
    ScriptedService service;
    std::atomic<std::uint32_t> handler_thread_process{0};
    service.Run([&](std::uint32_t) -> std::uint32_t { return 0; }, accept::kStop);
    SimHelperProcess* process = service.test.host.service().ServiceProcess(kServiceName);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(service.test.status().process_id, process->id());
    EXPECT_EQ(process->token().identity.user, winformat::well_known::LocalSystem());
    EXPECT_EQ(process->ImagePath(), u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe");
    // Running already.
    EXPECT_EQ(service.test.Start().error(), SysError::Win32(1056));
    service.released.store(true);
    ASSERT_TRUE(service.test.WaitForStopped());
    service.test.host.processes().JoinThreads();
    EXPECT_EQ(service.test.status().process_id, 0u);
    EXPECT_EQ(service.test.status().win32_exit_code, 0u);
    // A second dispatcher call of the process fails.
    EXPECT_EQ(service.second_dispatch, SysError::Win32(1056));
    // STOPPED closed the status handle.
    EXPECT_EQ(service.test.platform().service.SetServiceStatus(service.handle, {}).error(), SysError::Win32(6));
}

TEST(SimServiceControl, ControlsAreCheckedByRightStateAndAcceptedControlsBeforeTheHandler) {
    ScriptedService service;
    std::atomic<int> calls{0};
    service.Run([&](std::uint32_t) -> std::uint32_t { ++calls; return 0xDEADBEEF; }, accept::kShutdown);
    auto& test = service.test;
    // Clients cannot send SHUTDOWN.
    EXPECT_EQ(test.Control(control::kShutdown).error(), SysError::Win32(87));
    // STOP without ACCEPT_STOP never reaches the handler.
    EXPECT_EQ(test.Control(control::kStop).error(), SysError::Win32(1052));
    EXPECT_EQ(test.Control(control::kPause).error(), SysError::Win32(1052));
    EXPECT_EQ(calls.load(), 0);
    // User-defined controls and INTERROGATE are not gated; the handler's
    // answer does not come back.
    auto answered = test.Control(130);
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->current_state, service_state::kRunning);
    EXPECT_TRUE(test.Control(control::kInterrogate));
    EXPECT_EQ(calls.load(), 2);
    EXPECT_EQ(test.host.service().HandlerAnswers(kServiceName).back(), (std::pair<std::uint32_t, std::uint32_t>{
                                                                           control::kInterrogate, 0xDEADBEEF}));
    // A standard user: rights of the service's descriptor only.
    EXPECT_EQ(test.Control(130, /*as_administrator=*/false).error(), SysError::Win32(5));
    EXPECT_EQ(test.Start().error(), SysError::Win32(1056));
}

// A STOP handler that lets the main return before it answers: the caller of
// ControlService still gets the handler's answer, not a time-out.
TEST(SimServiceControl, AStopAnsweredAfterTheMainReturnedIsAnswered) {
    ScriptedService service;
    service.Run(
        [&](std::uint32_t) -> std::uint32_t {
            service.released.store(true);
            service.test.host.service().WaitForStatus(
                kServiceName, [](const ServiceStatusProcess& status) { return status.current_state == 1; }, 5000);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return 0;
        },
        accept::kStop);
    auto stopped = service.test.Control(control::kStop);
    ASSERT_TRUE(stopped) << stopped.error().code;
    EXPECT_EQ(service.test.host.service().HandlerAnswers(kServiceName).back(),
              (std::pair<std::uint32_t, std::uint32_t>{control::kStop, 0}));
}

TEST(SimServiceControl, APendingStartTakesOnlyStopAndAStoppedServiceNothing) {
    ScriptedService service;
    service.Run([](std::uint32_t) -> std::uint32_t { return 0; }, 0, service_state::kStartPending);
    EXPECT_EQ(service.test.Control(130).error(), SysError::Win32(1061));
    EXPECT_EQ(service.test.Control(control::kStop).error(), SysError::Win32(1052));
    service.released.store(true);
    ASSERT_TRUE(service.test.WaitForStopped());
    EXPECT_EQ(service.test.Control(130).error(), SysError::Win32(1062));
}

TEST(SimServiceControl, AServiceProcessThatDiesIsStoppedAndMayStartAgain) {
    ScriptedService service;
    service.Run([](std::uint32_t) -> std::uint32_t { return 0; }, accept::kShutdown);
    service.test.host.service().KillServiceProcess(kServiceName);
    service.released.store(true);
    ASSERT_TRUE(service.test.WaitForStopped());
    EXPECT_EQ(service.test.status().win32_exit_code, 1067u);
    service.test.host.processes().JoinThreads();
    service.released.store(false);
    ASSERT_TRUE(service.test.Start());
    EXPECT_TRUE(service.test.WaitForState(service_state::kRunning));
}

TEST(SimServiceControl, NoProgramMeansTheProcessNeverReachesTheDispatcher) {
    ServiceTestHost test;
    test.host.service().SetProgram(kServiceName, nullptr);
    EXPECT_EQ(test.Start().error(), SysError::Win32(1053));
}

TEST(SimEventLog, AcceptsAnySourceWithinReportEventsLimits) {
    SimHost host;
    auto& scm = host.platform().service;
    EXPECT_EQ(scm.RegisterEventSourceW(u"Security").error(), SysError::Win32(5));
    const EventSourceHandle source = scm.RegisterEventSourceW(u"Unregistered source").value();
    const std::vector<std::u16string> longest{std::u16string(31839, u'a')};
    EXPECT_TRUE(scm.ReportEventW(source, event_type::kError, 7, longest));
    const std::vector<std::u16string> too_long{std::u16string(31840, u'a')};
    EXPECT_EQ(scm.ReportEventW(source, event_type::kError, 7, too_long).error(), SysError::Win32(87));
    const std::vector<std::u16string> too_many(257, u"x");
    EXPECT_EQ(scm.ReportEventW(source, event_type::kError, 7, too_many).error(), SysError::Win32(87));
    EXPECT_TRUE(scm.DeregisterEventSource(source));
    EXPECT_EQ(scm.ReportEventW(source, event_type::kError, 7, longest).error(), SysError::Win32(6));
    ASSERT_EQ(host.service().Events().size(), 1u);
    EXPECT_EQ(host.service().Events()[0].event_id, 7u);
}

}  // namespace
}  // namespace telvo::platform::sim
