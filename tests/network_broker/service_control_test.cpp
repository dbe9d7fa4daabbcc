#include "network_broker/service_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "network_broker/service_event_log.h"
#include "network_broker/service_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;
namespace accept = platform::service_accept;
namespace control = platform::service_control;

constexpr char kUnexpectedStop[] = "unexpected STOP before empty-service quiescence; sandbox Jobs and filters retained";

// A service whose main hands the control handler a broker state of the
// test's and waits, reporting RUNNING accepting SHUTDOWN, until the handler
// the test ends: the handler alone, under the real dispatcher.
struct ControlTest : ::testing::Test {
    ServiceTestHost test;
    BrokerState state;
    ServiceStatusReporter reporter{test.platform()};
    std::atomic<bool> released{false};

    void SetUp() override {
        test.host.service().SetProgram(kServiceName, [this] {
            platform::Platform& platform = test.platform();
            (void)platform.service.StartServiceCtrlDispatcherW(kServiceName, [&](const auto&) {
                auto handle = platform.service.RegisterServiceCtrlHandlerExW(
                    kServiceName, [&](std::uint32_t code) { return HandleServiceControl(platform, state, reporter, code); });
                if (!handle) return;
                reporter.SetHandle(*handle);
                (void)reporter.Running(accept::kShutdown);
                while (!released.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                (void)reporter.Stopped(false);
            });
        });
        ASSERT_TRUE(test.Start());
        ASSERT_TRUE(test.WaitForState(service_state::kRunning));
    }
    void TearDown() override {
        released.store(true);
        test.host.processes().JoinThreads();
    }
    bool Stopping() {
        PoisonableMutex::Guard guard(state.lock);
        return state.stopping;
    }
    void SetLeases(std::size_t count) {
        PoisonableMutex::Guard guard(state.lock);
        state.lease_count = count;
        state.accepting = true;
    }
    void PoisonLock() {
        try {
            PoisonableMutex::Guard guard(state.lock);
            throw std::runtime_error("holder panicked");
        } catch (const std::runtime_error&) {
        }
    }
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Answers() { return test.host.service().HandlerAnswers(kServiceName); }
};

TEST_F(ControlTest, QuiesceWithALeaseChangesNothingAndStopNeverReachesTheHandler) {
    SetLeases(1);
    ASSERT_TRUE(test.Control(kQuiesceControl));
    EXPECT_EQ(test.status().controls_accepted, accept::kShutdown);
    EXPECT_TRUE(state.accepting);
    EXPECT_FALSE(state.quiesced);
    // STOP is not accepted yet: the SCM refuses it before the handler.
    EXPECT_EQ(test.Control(control::kStop).error(), SysError::Win32(1052));
    EXPECT_EQ(Answers(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kQuiesceControl, 0}}));
    EXPECT_FALSE(Stopping());
}

TEST_F(ControlTest, QuiesceWithNoLeaseThenStopStops) {
    SetLeases(0);
    auto quiesced = test.Control(kQuiesceControl);
    ASSERT_TRUE(quiesced);
    EXPECT_EQ(quiesced->controls_accepted, accept::kStop | accept::kShutdown);
    EXPECT_FALSE(state.accepting);
    EXPECT_TRUE(state.quiesced);
    auto stopping = test.Control(control::kStop);
    ASSERT_TRUE(stopping);
    EXPECT_EQ(stopping->current_state, service_state::kStopPending);
    EXPECT_EQ(stopping->check_point, 1u);
    EXPECT_EQ(stopping->wait_hint, 60000u);
    EXPECT_TRUE(Stopping());
    EXPECT_FALSE(state.accepting);
    EXPECT_TRUE(test.EventMessages().empty());
    // No control reaches a stopping service.
    EXPECT_EQ(test.Control(kQuiesceControl).error(), SysError::Win32(1061));
}

TEST_F(ControlTest, StopWhileALeaseAppearedAfterQuiesceIsRefusedAndLogged) {
    SetLeases(0);
    ASSERT_TRUE(test.Control(kQuiesceControl));
    SetLeases(1);
    ASSERT_TRUE(test.Control(control::kStop));
    EXPECT_FALSE(Stopping());
    EXPECT_EQ(test.status().current_state, service_state::kRunning);
    EXPECT_EQ(test.EventMessages(), std::vector<std::string>{kUnexpectedStop});
    // Quiesce again with the lease there: it stays as it was.
    ASSERT_TRUE(test.Control(kQuiesceControl));
    EXPECT_FALSE(Stopping());
}

TEST_F(ControlTest, ShutdownStopsWithLeasesPresent) {
    SetLeases(3);
    EXPECT_EQ(test.host.service().SendShutdown(kServiceName), 0u);
    EXPECT_EQ(test.status().current_state, service_state::kStopPending);
    EXPECT_TRUE(Stopping());
    EXPECT_FALSE(state.accepting);
}

TEST_F(ControlTest, PoisonedLockAndUnknownControls) {
    EXPECT_TRUE(test.Control(control::kInterrogate));
    EXPECT_TRUE(test.Control(129));
    SetLeases(0);
    PoisonLock();
    ASSERT_TRUE(test.Control(kQuiesceControl));
    EXPECT_EQ(test.status().controls_accepted, accept::kShutdown);
    EXPECT_FALSE(state.quiesced);
    EXPECT_EQ(test.host.service().SendShutdown(kServiceName), platform::win32_error::kServiceCannotAcceptCtrl);
    EXPECT_FALSE(state.stopping);
    EXPECT_EQ(Answers(), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                             {control::kInterrogate, 0}, {129, 120}, {kQuiesceControl, 0}, {control::kShutdown, 1061}}));
}

TEST_F(ControlTest, AQuiescedStatusThatCannotBePublishedStopsTheService) {
    SetLeases(0);
    test.host.faults().FailAlways("SetServiceStatus", SysError::Win32(6));
    ASSERT_TRUE(test.Control(kQuiesceControl));
    EXPECT_TRUE(Stopping());
    EXPECT_EQ(test.EventMessages(),
              std::vector<std::string>{"publish quiesced service status: SetServiceStatus failed with Win32 error 6"});
    test.host.faults().Clear();
}

// The installer narrows the service's descriptor: a standard user may not
// send the quiesce control, as with the default one any interactive user can.
TEST_F(ControlTest, ADefaultDescriptorLetsAnyInteractiveUserQuiesceTheNarrowedOneDoesNot) {
    EXPECT_EQ(test.Control(kQuiesceControl, /*as_administrator=*/false).error(), SysError::Win32(5));
    test.service().security_descriptor = Descriptor(
        wk::LocalSystem(), {Ace::Allowed(0x000F01FF, wk::Administrators()), Ace::Allowed(0x0002018D, InteractiveSid())});
    SetLeases(1);
    EXPECT_TRUE(test.Control(kQuiesceControl, /*as_administrator=*/false));
}

TEST(ServiceEventLog, MessagesAreCutAt2047Units) {
    EXPECT_EQ(EventMessageText(std::string(2047, 'a')).size(), 2047u);
    EXPECT_EQ(EventMessageText(std::string(2048, 'a')), std::u16string(2047, u'a'));
    EXPECT_EQ(EventMessageText("\xC3\xA9t\xC3\xA9"), u"\u00e9t\u00e9");

    ServiceTestHost test;
    test.host.faults().Watch("ReportEventW");
    WriteServiceEvent(test.platform(), ServiceEvent::unexpected_stop, std::string(40000, 'x'));
    const auto events = test.host.service().Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, u"TelvoOfflineNetwork");
    EXPECT_EQ(events[0].strings, std::vector<std::u16string>{std::u16string(2047, u'x')});
    EXPECT_EQ(test.host.faults().Log().front().arguments,
              (std::vector<std::uint64_t>{platform::event_type::kWarning, 4, 1}));
    EXPECT_EQ(test.host.faults().Count("DeregisterEventSource"), 1u);
}

}  // namespace
}  // namespace telvo::network_broker
