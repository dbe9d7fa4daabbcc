#include "host_prepare/network_service_setup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "host_prepare/host_fixture.h"
#include "network_broker/broker_test_host.h"
#include "network_broker/protected_service.h"
#include "network_broker/service_main.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_test_host.h"
#include "support/seam_faults.h"
#include "support/sweep_coverage.h"
#include "winformat/sddl.h"

namespace telvo::host_prepare {
namespace {

using platform::sim::SimToken;
namespace nb = network_broker::testing;

constexpr HostOperation kStatus = HostOperation::status;
constexpr HostOperation kPrepare = HostOperation::prepare;
constexpr HostOperation kRemove = HostOperation::remove;
constexpr char16_t kOwnImage[] = u"C:\\Tools\\telvo-windows-sandbox.exe";
constexpr char kOwnBytes[] = "MZ this build";
constexpr char kLeasesExist[] =
    "error: network setup cannot change while active or retained sandbox leases exist; finish runs or resolve "
    "recovery first";
constexpr char kForeign[] = "error: existing Telvo network service has a foreign configuration; no changes made";

std::string Bool(bool value) { return value ? "true" : "false"; }

// A bare host (Program Files as Windows sets it up, no service, no layout)
// whose Service Control Manager runs this product's service when it starts
// "TelvoOfflineNetwork"; the caller is an elevated Administrator running
// this build from C:\Tools.
class NetworkSetupTest : public testing::HostTest {
protected:
    NetworkSetupTest()
        : system_(host.StartHelperProcessAs(std::make_shared<const SimToken>(SimToken::LocalSystem()))) {
        (void)host.files().MakeDirectory(nb::kProgramFiles);
        (void)host.files().SetSecurityDescriptor(nb::kProgramFiles, nb::ProgramFilesDescriptor());
        host.system().registry().Set(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir",
                                     platform::registry_type::kSz,
                                     platform::sim::RegistryStringBytes(std::u16string(nb::kProgramFiles) + u'\0'));
        (void)host.files().MakeDirectory(u"C:\\Tools");
        (void)host.files().MakeFile(kOwnImage, kOwnBytes);
        host.caller().SetImagePath(kOwnImage);
        host.service().SetProgram(network_broker::kServiceName,
                                  [this] { (void)network_broker::RunNetworkService(host.platform()); });
    }
    ~NetworkSetupTest() override { host.service().EndServiceProcesses(); }

    static HostCommand Network(HostOperation operation) { return {operation, HostSelector::network, ""}; }
    std::string RunNetwork(HostOperation operation) { return Run(Network(operation)); }

    std::uint32_t ServicePid() {
        auto* service = host.service().Find(network_broker::kServiceName);
        return service == nullptr ? 0 : service->status.process_id;
    }
    std::string Line(std::string_view operation, bool installed, bool running, bool quiesced, bool changed,
                     std::uint32_t pid, std::uint64_t retained = 0, bool matches = true) {
        return "{\"protocolVersion\":1,\"kind\":\"networkPreparation\",\"operation\":\"" + std::string(operation) +
               "\",\"serviceName\":\"TelvoOfflineNetwork\",\"installPath\":\"C:\\\\Program "
               "Files\\\\TelvoOfflineNetwork\\\\telvo-windows-sandbox.exe\",\"installed\":" +
               Bool(installed) + ",\"running\":" + Bool(running) + ",\"quiesced\":" + Bool(quiesced) +
               ",\"prepared\":" + Bool(installed && running && !quiesced && matches) + ",\"changed\":" + Bool(changed) +
               ",\"servicePid\":" + std::to_string(pid) + ",\"activeLeases\":0,\"retainedLeases\":" +
               std::to_string(retained) + ",\"policyVersion\":1,\"binaryMatches\":" + Bool(matches) + "}\n";
    }
    std::string Bare(std::string_view operation, bool changed = false) {
        return Line(operation, false, false, false, changed, 0, 0, false);
    }

    template <class F>
    auto AsSystem(F&& action) {
        const auto binding = host.Bind(system_);
        return action();
    }
    // Installs the layout and a lease of the current boot, as a run's broker would.
    void InstallLease() {
        AsSystem([&] {
            ASSERT_TRUE(offline_network::InstallOfflineLayout(host.platform()));
            offline_network::LeaseRecord record;
            record.profile_name = "Telvo.Sandbox.00000000000000000000000000000007";
            record.package_sid =
                identity::DeriveProfileSid(host.platform().appcontainer, record.profile_name).value().ToString();
            record.owner_sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
            record.caller_pid = 4007;
            record.caller_creation = 0x01DB2F5A6C3E8007;
            record.boot_id = offline_network::ReadBootIdentity(host.platform().wfp).value();
            record.lease_id = offline_network::testing::TestUuid(7, 0);
            for (std::uint32_t slot = 0; slot < offline_network::kFilterSlots; ++slot) {
                record.filter_keys[slot] = offline_network::testing::TestUuid(7, slot + 1);
            }
            auto installed = offline_network::InstallOfflineLease(host.platform(), record);
            ASSERT_TRUE(installed) << installed.error().Display();
        });
    }

    // What the network setup changes on the host, as text.
    std::string NetworkState() {
        std::string state;
        if (auto* service = host.service().Find(network_broker::kServiceName)) {
            const auto descriptor =
                winformat::SecurityDescriptor::ParseSelfRelative(service->security_descriptor).value();
            state += "service " + winformat::Utf16ToUtf8(service->config.binary_path_name).value() + " start " +
                     std::to_string(service->config.start_type) + " state " +
                     std::to_string(service->status.current_state) + " " + winformat::WriteSddl(descriptor).value() +
                     (service->marked_for_delete ? " marked" : "") + "\n";
        }
        for (const char16_t* path : {u"C:\\Program Files\\TelvoOfflineNetwork",
                                     u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe",
                                     u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe.new"}) {
            auto descriptor = host.files().SecurityDescriptorOf(path);
            if (!descriptor) continue;
            state += winformat::Utf16ToUtf8(path).value() + " " +
                     winformat::WriteSddl(winformat::SecurityDescriptor::ParseSelfRelative(*descriptor).value()).value();
            auto bytes = host.files().ReadAs(SimToken::LocalSystem(), path);
            state += bytes ? " [" + *bytes + "]\n" : "\n";
        }
        const auto leases = AsSystem([&] { return offline_network::OfflineLayoutLeaseCount(host.platform()); });
        state += !leases ? "layout unreadable: " + leases.error().Display()
                         : *leases ? "layout with " + std::to_string(**leases) + " leases" : "no layout";
        return state;
    }

    platform::sim::SimHelperProcess& system_;
};

TEST_F(NetworkSetupTest, BareHostPreparedAndRemovedWithExactReports) {
    EXPECT_EQ(RunNetwork(kStatus), Bare("status"));
    const std::string bare = NetworkState();
    EXPECT_EQ(bare, "no layout");

    const std::string prepared = RunNetwork(kPrepare);
    const std::uint32_t pid = ServicePid();
    ASSERT_NE(pid, 0u);
    EXPECT_EQ(prepared, Line("prepare", true, true, false, true, pid));
    // The service runs in a LocalSystem process of its own, and a client's
    // protected service query accepts what was installed.
    auto* process = host.service().ServiceProcess(network_broker::kServiceName);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->id(), pid);
    NotElevated();
    auto query = network_broker::QueryProtectedService(platform());
    ASSERT_TRUE(query) << query.error().Display();
    EXPECT_EQ(query->process_id, pid);
    EXPECT_EQ(RunNetwork(kStatus), Line("status", true, true, false, false, pid));
    Elevated();
    const std::string installed = NetworkState();
    EXPECT_EQ(installed,
              "service \"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe\" --network-service start 2 "
              "state 4 O:SYG:SYD:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
              "(A;;CCLCSWLORC;;;AU)\n"
              "C:\\Program Files\\TelvoOfflineNetwork O:BAG:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\n"
              "C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe "
              "O:BAG:S-1-5-21-1004336348-1177238915-682003330-1001D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU) "
              "[MZ this build]\n"
              "layout with 0 leases");
    // Prepared already: nothing changes, the same process serves on.
    EXPECT_EQ(RunNetwork(kPrepare), Line("prepare", true, true, false, false, pid));
    EXPECT_EQ(NetworkState(), installed);

    EXPECT_EQ(RunNetwork(kRemove), Bare("remove", true));
    EXPECT_EQ(NetworkState(), bare);
    EXPECT_EQ(RunNetwork(kRemove), Bare("remove"));
    EXPECT_EQ(RunNetwork(kStatus), Bare("status"));
    // The removed service was quiesced before it was stopped.
    const auto answers = host.service().HandlerAnswers(network_broker::kServiceName);
    ASSERT_GE(answers.size(), 2u);
    EXPECT_EQ(answers[answers.size() - 2], (std::pair<std::uint32_t, std::uint32_t>{128, 0}));
    EXPECT_EQ(answers.back(), (std::pair<std::uint32_t, std::uint32_t>{1, 0}));
}

// A new build replaces the executable of a running service: quiesced,
// stopped, copied, started again.
TEST_F(NetworkSetupTest, NewBuildReplacesTheExecutableOfTheRunningService) {
    ASSERT_FALSE(RunNetwork(kPrepare).starts_with("error")) << NetworkState();
    const std::uint32_t first = ServicePid();
    (void)host.files().Remove(kOwnImage);
    (void)host.files().MakeFile(kOwnImage, "MZ next build");
    EXPECT_EQ(RunNetwork(kStatus), Line("status", true, true, false, false, first, 0, false));
    host.faults().Watch("CreateFileW");
    const std::size_t start = host.faults().Log().size();
    const std::string out = RunNetwork(kPrepare);
    const std::uint32_t second = ServicePid();
    // The copy is created without following a link in its place, write and
    // WRITE_DAC only, shared with no one.
    std::vector<std::vector<std::uint64_t>> created;
    const auto log = host.faults().Log();
    for (std::size_t i = start; i < log.size(); ++i) {
        if (log[i].arguments.at(2) == platform::creation_disposition::kCreateAlways) created.push_back(log[i].arguments);
    }
    EXPECT_EQ(created, (std::vector<std::vector<std::uint64_t>>{{0x40040000, 0, 2, 0x00200080}}));
    EXPECT_NE(second, first);
    EXPECT_EQ(out, Line("prepare", true, true, false, true, second));
    EXPECT_EQ(host.files().ReadAs(SimToken::LocalSystem(),
                                  u"C:\\Program Files\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe")
                  .value(),
              "MZ next build");
}

// A removal that stopped after the quiesce control leaves a service that
// takes no registrations: it is not prepared, and prepare restarts it.
TEST_F(NetworkSetupTest, QuiescedServiceIsRestartedByPrepare) {
    ASSERT_FALSE(RunNetwork(kPrepare).starts_with("error")) << NetworkState();
    const std::uint32_t first = ServicePid();
    auto& scm = platform().service;
    auto manager = scm.OpenSCManagerW(platform::scm_access::kConnect).value();
    platform::UniqueServiceHandle manager_guard(scm, manager);
    auto service = scm.OpenServiceW(manager, network_broker::kServiceName,
                                    platform::service_access::kUserDefinedControl)
                       .value();
    platform::UniqueServiceHandle service_guard(scm, service);
    ASSERT_TRUE(scm.ControlService(service, 128));
    EXPECT_EQ(RunNetwork(kStatus), Line("status", true, true, true, false, first));
    const std::string out = RunNetwork(kPrepare);
    const std::uint32_t second = ServicePid();
    EXPECT_NE(second, first);
    EXPECT_EQ(out, Line("prepare", true, true, false, true, second));
}

// A service that does not come out of the quiesce control accepting STOP
// (here: it could not publish that status) is not stopped by the removal,
// which changes nothing; the next removal finds it stopped and completes.
TEST_F(NetworkSetupTest, AServiceThatDoesNotQuiesceIsNotStopped) {
    const std::string bare = NetworkState();
    ASSERT_FALSE(RunNetwork(kPrepare).starts_with("error")) << NetworkState();
    const std::string prepared = NetworkState();
    host.faults().FailOn("SetServiceStatus", host.faults().Count("SetServiceStatus") + 1,
                         SysError::Win32(platform::win32_error::kInvalidHandle));
    EXPECT_EQ(RunNetwork(kRemove),
              "error: network service could not quiesce: active/retained leases or a concurrent operation prevent "
              "stopping; nothing was stopped");
    EXPECT_EQ(NetworkState().substr(NetworkState().find('\n')), prepared.substr(prepared.find('\n')));
    const auto answers = host.service().HandlerAnswers(network_broker::kServiceName);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().first, 128u);
    // The service stops on its own once it could not publish its state.
    ASSERT_TRUE(host.service().WaitForStatus(
        network_broker::kServiceName,
        [](const platform::ServiceStatusProcess& status) { return status.current_state == 1; }, 10000));
    EXPECT_EQ(RunNetwork(kRemove), Bare("remove", true));
    EXPECT_EQ(NetworkState(), bare);
}

// Another administrator deletes the service while a removal is under way:
// the removal's own delete meets a service marked already, and goes on.
TEST_F(NetworkSetupTest, AServiceMarkedForDeletionMeanwhileIsRemovedAllTheSame) {
    const std::string bare = NetworkState();
    ASSERT_FALSE(RunNetwork(kPrepare).starts_with("error")) << NetworkState();
    auto& scm = platform().service;
    std::optional<platform::UniqueServiceHandle> deleter;
    host.faults().OnCall("DeleteService", host.faults().Count("DeleteService") + 1, [&] {
        const platform::UniqueServiceHandle manager(scm, scm.OpenSCManagerW(platform::scm_access::kConnect).value());
        deleter.emplace(scm, scm.OpenServiceW(manager.get(), network_broker::kServiceName, platform::file_access::kDelete)
                                         .value());
        ASSERT_TRUE(scm.DeleteService(deleter->get()));
    });
    EXPECT_EQ(RunNetwork(kRemove), Bare("remove", true));
    ASSERT_TRUE(deleter.has_value());
    // Marked, stopped, and gone with the last handle.
    EXPECT_NE(NetworkState().find(" marked"), std::string::npos) << NetworkState();
    deleter.reset();
    EXPECT_EQ(NetworkState(), bare);
    EXPECT_EQ(RunNetwork(kStatus), Bare("status"));
}

// Leases keep the service, its files and the layout: a retained lease the
// broker reports, and lease filters in the layout of a stopped service.
TEST_F(NetworkSetupTest, LeasesKeepEverythingInPlace) {
    InstallLease();
    const std::string out = RunNetwork(kPrepare);
    const std::uint32_t pid = ServicePid();
    EXPECT_EQ(out, Line("prepare", true, true, false, true, pid, 1));
    const std::string prepared = NetworkState();

    EXPECT_EQ(RunNetwork(kRemove), kLeasesExist);
    EXPECT_EQ(NetworkState(), prepared);
    EXPECT_EQ(ServicePid(), pid);
    EXPECT_TRUE(host.service().HandlerAnswers(network_broker::kServiceName).empty());
    // A new build is not copied over a service that holds leases either.
    (void)host.files().Remove(kOwnImage);
    (void)host.files().MakeFile(kOwnImage, "MZ next build");
    EXPECT_EQ(RunNetwork(kPrepare), kLeasesExist);
    EXPECT_EQ(NetworkState(), prepared);
    EXPECT_EQ(ServicePid(), pid);

    // The service has gone (killed); its lease filters stay and still refuse removal.
    host.service().KillServiceProcess(network_broker::kServiceName);
    ASSERT_TRUE(host.service().WaitForStatus(network_broker::kServiceName, [](const auto& status) {
        return status.current_state == platform::service_state::kStopped;
    }));
    const std::string stopped = NetworkState();
    EXPECT_EQ(RunNetwork(kRemove), kLeasesExist);
    EXPECT_EQ(NetworkState(), stopped);
}

// An installation that is not exactly ours is never changed.
TEST_F(NetworkSetupTest, ForeignInstallationIsRefusedWithNothingChanged) {
    struct Case {
        const char* name;
        std::function<void(platform::sim::SimInstalledService&)> change;
    };
    const std::vector<Case> cases{
        {"demand start", [](auto& service) { service.config.start_type = platform::service_start::kDemandStart; }},
        {"other program",
         [](auto& service) { service.config.binary_path_name = u"\"C:\\Tools\\other.exe\" --network-service"; }},
        {"user account", [](auto& service) { service.config.service_start_name = u".\\alice"; }},
        {"interactive users may control it",
         [](auto& service) {
             service.security_descriptor =
                 winformat::ParseSddl("O:SYG:SYD:(A;;0xf01ff;;;SY)(A;;0xf01ff;;;BA)(A;;0x2018d;;;IU)")
                     .value()
                     .ToSelfRelative();
         }},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        host.service().EndServiceProcesses();
        nb::InstallOfflineService(host);
        auto& service = *host.service().Find(network_broker::kServiceName);
        service.status = {};
        service.status.current_state = platform::service_state::kStopped;
        test.change(service);
        const std::string before = NetworkState();
        EXPECT_EQ(RunNetwork(kPrepare), kForeign);
        EXPECT_EQ(NetworkState(), before);
        EXPECT_EQ(RunNetwork(kRemove), kForeign);
        EXPECT_EQ(NetworkState(), before);
        EXPECT_EQ(RunNetwork(kStatus), Line("status", false, false, false, false, 0, 0, false));
    }
}

// A directory in the service's place that others may change (or a link
// there) is not written into, and no service is registered for it.
TEST_F(NetworkSetupTest, ForeignDirectoryIsRefusedBeforeAnythingIsInstalled) {
    const char16_t* directory = u"C:\\Program Files\\TelvoOfflineNetwork";
    ASSERT_TRUE(host.files().MakeDirectory(directory));
    ASSERT_TRUE(host.files().SetSecurityDescriptor(
        directory, winformat::ParseSddl("O:BAG:BAD:P(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1301bf;;;AU)")
                       .value()
                       .ToSelfRelative()));
    const std::string before = NetworkState();
    EXPECT_EQ(RunNetwork(kPrepare), kForeign);
    EXPECT_EQ(RunNetwork(kRemove), kForeign);
    EXPECT_EQ(NetworkState(), before);
    EXPECT_EQ(host.service().Find(network_broker::kServiceName), nullptr);

    ASSERT_TRUE(host.files().Remove(directory));
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\Elsewhere"));
    ASSERT_TRUE(host.files().MakeJunction(directory, u"C:\\Elsewhere"));
    EXPECT_EQ(RunNetwork(kPrepare), kForeign);
    EXPECT_EQ(host.service().Find(network_broker::kServiceName), nullptr);
    EXPECT_EQ(host.files().ObjectPaths(u"C:\\Elsewhere").value().size(), 1u);
}

// A service that never reaches RUNNING: the prepare gives up after 20
// seconds of the kernel's clock and says that a re-run completes it.
TEST_F(NetworkSetupTest, StartThatNeverCompletesIsBoundedAndRerunnable) {
    std::atomic<bool> release{false};
    host.service().SetProgram(network_broker::kServiceName, [&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    const std::uint64_t started = host.clock().Now();
    const std::string out = RunNetwork(kPrepare);
    EXPECT_EQ(out,
              "error: network preparation stopped part-way; run host-prepare --network again to complete it "
              "(host-status --network shows the host's state): network service did not reach requested state "
              "within 20 seconds");
    EXPECT_GE(host.clock().Now() - started, 20000u);
    EXPECT_LT(host.clock().Now() - started, 25000u);
    release = true;
    host.service().SetProgram(network_broker::kServiceName,
                              [this] { (void)network_broker::RunNetworkService(host.platform()); });
    ASSERT_TRUE(host.service().WaitForStatus(network_broker::kServiceName, [](const auto& status) {
        return status.current_state == platform::service_state::kStopped;
    }));
    const std::string rerun = RunNetwork(kPrepare);
    EXPECT_EQ(rerun, Line("prepare", true, true, false, true, ServicePid()));
}

// Every seam call of the helper's prepare and remove failed in turn: the
// command fails and leaves the host as it was (or says that a re-run
// completes it), or succeeds; the next run without faults always completes.
class NetworkSetupSweep : public NetworkSetupTest, public ::testing::WithParamInterface<HostOperation> {};

TEST_P(NetworkSetupSweep, EachFailedCallLeavesTheHostAsItWasOrRerunnable) {
    const HostOperation operation = GetParam();
    const HostOperation undo = operation == kPrepare ? kRemove : kPrepare;
    const std::uint32_t helper = host.caller().id();
    host.faults().CountOnly(helper);
    if (operation == kRemove) {
        ASSERT_FALSE(RunNetwork(undo).starts_with("error"));
    }
    const std::string before = NetworkState();
    host.faults().WatchAll();
    const std::size_t start = host.faults().Log().size();
    ASSERT_FALSE(RunNetwork(operation).starts_with("error"));
    const std::string wanted = NetworkState();
    const auto log = host.faults().Log();
    const std::vector<platform::sim::FaultPlan::Call> calls(log.begin() + static_cast<std::ptrdiff_t>(start),
                                                            log.end());
    // Every call; under the sanitizers each call name at its first and its
    // last use, the steps of the operation (every start and stop runs the
    // real service).
    std::map<std::string, std::pair<std::size_t, std::size_t>> uses;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        auto [it, fresh] = uses.try_emplace(calls[i].call, i, i);
        it->second.second = i;
    }
    std::set<std::size_t> chosen;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (::telvo::testing::kSweepEveryPoint && !::telvo::testing::UnfailableCall(calls[i].call)) chosen.insert(i);
    }
    for (const auto& [call, range] : uses) {
        if (::telvo::testing::UnfailableCall(call)) continue;
        chosen.insert(range.first);
        chosen.insert(range.second);
    }
    int failed_runs = 0;
    for (const std::size_t i : chosen) {
        const std::string& call = calls[i].call;
        const std::string undone = RunNetwork(undo);
        ASSERT_FALSE(undone.starts_with("error")) << call << " #" << i << ": " << undone;
        ASSERT_EQ(NetworkState(), before) << call;
        std::uint64_t nth = host.faults().Count(call);
        for (std::size_t j = 0; j <= i; ++j) nth += calls[j].call == call ? 1 : 0;
        host.faults().FailOn(call, nth, ::telvo::testing::WindowsFailureFor(call));
        const std::string out = RunNetwork(operation);
        host.faults().Clear();
        if (out.starts_with("error")) {
            ++failed_runs;
            if (NetworkState() != before) {
                const bool says_so = out.find("again to complete it") != std::string::npos ||
                                     out.find("run host-status") != std::string::npos;
                EXPECT_TRUE(says_so) << call << " #" << i << ": " << out;
            }
        } else {
            EXPECT_EQ(NetworkState(), wanted) << call << " #" << i;
        }
        host.faults().WatchAll();
        const std::string again = RunNetwork(operation);
        if (again.starts_with("error")) {
            std::string events;
            for (const auto& event : host.service().Events()) {
                for (const auto& text : event.strings) events += winformat::Utf16ToUtf8(text).value_or("?") + " | ";
            }
            ADD_FAILURE() << call << " #" << i << ": " << out << " then " << again << "; service events: " << events;
            return;
        }
        EXPECT_EQ(NetworkState(), wanted) << call << " #" << i;
    }
    EXPECT_GT(failed_runs, 10);
}

INSTANTIATE_TEST_SUITE_P(Operations, NetworkSetupSweep, ::testing::Values(kPrepare, kRemove));

}  // namespace
}  // namespace telvo::host_prepare
