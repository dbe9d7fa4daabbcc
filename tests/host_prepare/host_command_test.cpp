#include "host_prepare/host_command.h"

#include <gtest/gtest.h>

#include "host_prepare/host_elevation.h"
#include "host_prepare/host_fixture.h"
#include "host_prepare/host_reports.h"
#include "support/seam_faults.h"

namespace telvo::host_prepare {
namespace {

using testing::HostTest;

struct Target {
    std::string kind;
    std::string path;  // as JSON writes it
    bool prepared;
    bool changed;
};

std::string Bool(bool value) { return value ? "true" : "false"; }

class HostCommandTest : public HostTest {
protected:
    std::string FixedLine(std::string_view operation, const std::vector<Target>& targets) {
        bool prepared = true;
        bool changed = false;
        std::string list;
        for (const Target& target : targets) {
            prepared = prepared && target.prepared;
            changed = changed || target.changed;
            if (!list.empty()) list += ",";
            list += "{\"kind\":\"" + target.kind + "\",\"path\":\"" + target.path + "\",\"prepared\":" +
                    Bool(target.prepared) + ",\"changed\":" + Bool(target.changed) + "}";
        }
        return "{\"protocolVersion\":1,\"kind\":\"hostPreparation\",\"operation\":\"" + std::string(operation) +
               "\",\"systemRoot\":\"C:\\\\\",\"capabilityName\":\"Telvo.Sandbox.SystemRootMetadata.v1\","
               "\"capabilitySid\":\"" +
               CapabilitySidText(u"Telvo.Sandbox.SystemRootMetadata.v1") + "\",\"metadataMask\":1179784,\"prepared\":" +
               Bool(prepared) + ",\"changed\":" + Bool(changed) + ",\"targets\":[" + list + "]}\n";
    }
    std::vector<Target> Fixed(bool prepared, bool changed, bool with_drive) {
        std::vector<Target> targets{{"systemDriveRoot", "C:\\\\", prepared, changed},
                                    {"userProfiles", "C:\\\\Users", prepared, changed}};
        if (with_drive) targets.push_back({"additionalDriveRoot", "D:\\\\", prepared, changed});
        return targets;
    }
    std::string NullLine(std::string_view operation, bool prepared, bool changed) {
        return "{\"protocolVersion\":1,\"kind\":\"nullDevicePreparation\",\"operation\":\"" + std::string(operation) +
               "\",\"path\":\"\\\\Device\\\\Null\",\"capabilityName\":\"Telvo.Sandbox.NullDevice.v1\","
               "\"capabilitySid\":\"" +
               NullCapability().ToString() + "\",\"accessMask\":1180063,\"prepared\":" + Bool(prepared) +
               ",\"changed\":" + Bool(changed) + ",\"lifetime\":\"untilReboot\"}\n";
    }
};

constexpr HostOperation kStatus = HostOperation::status;
constexpr HostOperation kPrepare = HostOperation::prepare;
constexpr HostOperation kRemove = HostOperation::remove;

TEST_F(HostCommandTest, FixedTargetsReportExactLinesThroughTheirLife) {
    EXPECT_EQ(Run(Command(kStatus)), FixedLine("status", Fixed(false, false, false)));
    EXPECT_EQ(Run(Command(kPrepare)), FixedLine("prepare", Fixed(true, true, false)));
    EXPECT_EQ(Run(Command(kPrepare)), FixedLine("prepare", Fixed(true, false, false)));
    EXPECT_EQ(Run(Command(kStatus)), FixedLine("status", Fixed(true, false, false)));
    // The second drive is untouched without its selector.
    EXPECT_EQ(Run(Command(kStatus, HostSelector::drive)),
              FixedLine("status", {{"systemDriveRoot", "C:\\\\", true, false},
                                   {"userProfiles", "C:\\\\Users", true, false},
                                   {"additionalDriveRoot", "D:\\\\", false, false}}));
    EXPECT_EQ(Run(Command(kRemove)), FixedLine("remove", Fixed(false, true, false)));
    EXPECT_EQ(Run(Command(kRemove)), FixedLine("remove", Fixed(false, false, false)));
}

TEST_F(HostCommandTest, DriveSelectorAddsTheVolumeRootAsThirdTarget) {
    EXPECT_EQ(Run(Command(kStatus, HostSelector::drive)), FixedLine("status", Fixed(false, false, true)));
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::drive)), FixedLine("prepare", Fixed(true, true, true)));
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::drive)), FixedLine("prepare", Fixed(true, false, true)));
    EXPECT_EQ(Run(Command(kStatus, HostSelector::drive)), FixedLine("status", Fixed(true, false, true)));
    EXPECT_EQ(Run(Command(kRemove, HostSelector::drive)), FixedLine("remove", Fixed(false, true, true)));
    EXPECT_EQ(Run(Command(kRemove, HostSelector::drive)), FixedLine("remove", Fixed(false, false, true)));
}

TEST_F(HostCommandTest, NullDeviceReportsExactLinesAndLastsUntilReboot) {
    const std::string stock = NullDeviceSddl();
    EXPECT_EQ(Run(Command(kStatus, HostSelector::null_device)), NullLine("status", false, false));
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::null_device)), NullLine("prepare", true, true));
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::null_device)), NullLine("prepare", true, false));
    EXPECT_EQ(Run(Command(kStatus, HostSelector::null_device)), NullLine("status", true, false));
    files().null_device().Reboot();
    EXPECT_EQ(Run(Command(kStatus, HostSelector::null_device)), NullLine("status", false, false));
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::null_device)), NullLine("prepare", true, true));
    EXPECT_EQ(Run(Command(kRemove, HostSelector::null_device)), NullLine("remove", false, true));
    EXPECT_EQ(Run(Command(kRemove, HostSelector::null_device)), NullLine("remove", false, false));
    EXPECT_EQ(NullDeviceSddl(), stock);
}

TEST_F(HostCommandTest, StatusNeedsNoElevationAndTakesNoSetupLock) {
    ASSERT_EQ(Run(Command(kPrepare)), FixedLine("prepare", Fixed(true, true, false)));
    NotElevated();
    host.faults().Watch("CreateMutexExW");
    host.faults().Watch("OpenMutexW");
    EXPECT_EQ(Run(Command(kStatus)), FixedLine("status", Fixed(true, false, false)));
    EXPECT_EQ(Run(Command(kStatus, HostSelector::null_device)), NullLine("status", false, false));
    EXPECT_TRUE(host.faults().Log().empty());
}

// Refused before anything is read or changed: after the elevation queries
// the command makes no further call and prints nothing.
TEST_F(HostCommandTest, NonElevatedCallerIsRefusedBeforeAnythingElse) {
    const auto before = State();
    const std::vector<std::string> elevation_calls{"OpenProcessToken", "GetTokenInformation", "CloseHandle"};
    for (const HostSelector selector :
         {HostSelector::none, HostSelector::drive, HostSelector::null_device, HostSelector::network}) {
        for (const HostOperation operation : {kPrepare, kRemove}) {
            NotElevated();
            host.faults().Clear();
            host.faults().WatchAll();
            const std::size_t logged = host.faults().Log().size();
            EXPECT_EQ(Run(Command(operation, selector)), std::string("error: ") + kElevationRefusal);
            const auto log = host.faults().Log();
            std::vector<std::string> calls;
            for (std::size_t i = logged; i < log.size(); ++i) calls.push_back(log[i].call);
            EXPECT_EQ(calls, elevation_calls);
        }
    }
    // Elevated, but Administrators is only a deny-only group: refused after the membership check.
    platform::sim::SimToken token =
        platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), true, false);
    token.elevated = true;
    host.security().SetProcessToken(token);
    host.faults().Clear();
    host.faults().WatchAll();
    const std::size_t logged = host.faults().Log().size();
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::null_device)), std::string("error: ") + kElevationRefusal);
    const auto log = host.faults().Log();
    std::vector<std::string> calls;
    for (std::size_t i = logged; i < log.size(); ++i) calls.push_back(log[i].call);
    EXPECT_EQ(calls, (std::vector<std::string>{"OpenProcessToken", "GetTokenInformation", "CloseHandle",
                                               "CreateWellKnownSid", "CheckTokenMembership"}));
    EXPECT_EQ(State(), before);
}

TEST_F(HostCommandTest, ElevationQueryFailuresNameTheirCall) {
    const std::size_t handles = OpenHandles();
    FailNext("GetTokenInformation", 5);
    EXPECT_EQ(Run(Command(kPrepare)), "error: GetTokenInformation(TokenElevation) failed with Win32 error 5");
    FailNext("CheckTokenMembership", 1);
    EXPECT_EQ(Run(Command(kRemove)), "error: CheckTokenMembership(host preparation) failed with Win32 error 1");
    FailNext("OpenProcessToken", 5);
    EXPECT_EQ(Run(Command(kPrepare, HostSelector::null_device)),
              "error: OpenProcessToken(host preparation) failed with Win32 error 5");
    EXPECT_EQ(OpenHandles(), handles);
}

TEST_F(HostCommandTest, NetworkReportKeepsItsFieldOrder) {
    NetworkSetupReport report;
    report.install_path = "C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe";
    report.installed = true;
    report.running = true;
    report.prepared = true;
    report.service_pid = 4242;
    report.active_leases = 18446744073709551615ull;
    report.retained_leases = 2;
    report.binary_matches = true;
    EXPECT_EQ(SerializeNetworkReport(kStatus, report).value(),
              "{\"protocolVersion\":1,\"kind\":\"networkPreparation\",\"operation\":\"status\","
              "\"serviceName\":\"TelvoOfflineNetwork\","
              "\"installPath\":\"C:\\\\Program Files\\\\TelvoOfflineNetwork\\\\telvo-windows-sandbox.exe\","
              "\"installed\":true,\"running\":true,\"quiesced\":false,\"prepared\":true,\"changed\":false,"
              "\"servicePid\":4242,\"activeLeases\":18446744073709551615,\"retainedLeases\":2,\"policyVersion\":1,"
              "\"binaryMatches\":true}\n");
}

// Every seam call of a prepare or a remove failed in turn: the command
// either fails and leaves the host as it was (or says what to run), or
// succeeds; the next run without faults always completes.
class HostCommandSweep : public HostCommandTest,
                         public ::testing::WithParamInterface<std::tuple<HostSelector, HostOperation>> {};

TEST_P(HostCommandSweep, EachFailedCallLeavesTheHostAsItWasOrRerunnable) {
    const auto [selector, operation] = GetParam();
    const HostCommand command = Command(operation, selector);
    const HostCommand undo = Command(operation == kPrepare ? kRemove : kPrepare, selector);
    if (operation == kRemove) {
        ASSERT_FALSE(Run(undo).starts_with("error"));
    }
    const auto before = State();
    const std::size_t handles = OpenHandles();
    host.faults().WatchAll();
    const std::size_t start = host.faults().Log().size();
    ASSERT_FALSE(Run(command).starts_with("error"));
    const auto wanted = State();
    const auto log = host.faults().Log();
    const std::vector<platform::sim::FaultPlan::Call> calls(log.begin() + static_cast<std::ptrdiff_t>(start), log.end());
    ASSERT_FALSE(calls.empty());
    int failed_runs = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const std::string& call = calls[i].call;
        if (::telvo::testing::UnfailableCall(call)) continue;
        // Back to the starting state, then fail the same use of the call.
        const std::string undone = Run(undo);
        ASSERT_FALSE(undone.starts_with("error")) << call;
        ASSERT_EQ(State(), before) << call;
        std::uint64_t nth = host.faults().Count(call);
        for (std::size_t j = 0; j <= i; ++j) nth += calls[j].call == call ? 1 : 0;
        host.faults().FailOn(call, nth, ::telvo::testing::WindowsFailureFor(call));
        const std::string out = Run(command);
        EXPECT_EQ(OpenHandles(), handles) << call;
        if (out.starts_with("error")) {
            ++failed_runs;
            EXPECT_EQ(out.find(" | out: "), std::string::npos) << call << ": " << out;
            if (State() != before) {
                EXPECT_NE(out.find("run host-status"), std::string::npos) << call << ": " << out;
            }
        } else {
            EXPECT_EQ(State(), wanted) << call;
        }
        host.faults().Clear();
        host.faults().WatchAll();
        const std::string again = Run(command);
        EXPECT_FALSE(again.starts_with("error")) << call << ": " << again;
        EXPECT_EQ(State(), wanted) << call;
    }
    EXPECT_GT(failed_runs, 5);
}

INSTANTIATE_TEST_SUITE_P(Selectors, HostCommandSweep,
                         ::testing::Combine(::testing::Values(HostSelector::none, HostSelector::drive,
                                                              HostSelector::null_device),
                                            ::testing::Values(kPrepare, kRemove)));

}  // namespace
}  // namespace telvo::host_prepare
