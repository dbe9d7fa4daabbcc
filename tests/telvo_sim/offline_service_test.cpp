// The product's own offline-network service on a host read from a file: the
// leases the file gives, offline runs through the service, whole and cut
// off by a crash, and the state written back from the filtering engine.
#include "telvo_sim/offline_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "identity/profile.h"
#include "main/process_entry.h"
#include "network_broker/broker_call.h"
#include "network_broker/service_main.h"
#include "offline_network/lease_record.h"
#include "support/clean_host.h"
#include "support/frames.h"
#include "telvo_sim/change_report.h"
#include "telvo_sim/host_file.h"
#include "telvo_sim/host_file_wfp.h"

namespace telvo::telvo_sim {
namespace {

using namespace network_broker;
namespace step = platform::sim::step;

constexpr char kProfile[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char kLeaseId[] = "0d2b1f0e-3c4a-4b5d-8e6f-708192a3b4c5";
constexpr char kEarlierBoot[] = "8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b";
constexpr char16_t kStateDirectory[] = u"\\\\?\\C:\\Users\\alice\\AppData\\Local\\TelvoSandboxState-v1";

LoadedHost Load(std::string text = std::string(DefaultHostFile())) {
    auto loaded = ReadHostFile(text);
    EXPECT_TRUE(loaded) << loaded.error().Display();
    return std::move(*loaded);
}

// The default host whose engine holds the lease of kProfile, installed in `boot`.
std::string WithLease(std::string_view boot) {
    std::string text(DefaultHostFile());
    const std::string layout = R"("wfp": {"provider": true, "sublayer": true, "filters": []},)";
    std::string filters;
    for (int slot = 0; slot < 4; ++slot) {
        filters += std::string(slot ? "," : "") + R"({"slot":)" + std::to_string(slot) + R"(,"lease":{"profile":")" +
                   kProfile + R"(","leaseId":")" + kLeaseId + R"(","bootId":")" + std::string(boot) + R"("}})";
    }
    text.replace(text.find(layout), layout.size(),
                 R"("wfp": {"provider": true, "sublayer": true, "filters": [)" + filters + "]},");
    return text;
}

// The lease records in the engine's filters, one a filter.
std::vector<offline_network::LeaseRecord> FilterRecords(platform::sim::SimHost& host) {
    std::vector<offline_network::LeaseRecord> records;
    for (const auto& filter : host.wfp().Filters()) {
        auto record = offline_network::DecodeLeaseRecord(
            std::string(filter.provider_data.begin(), filter.provider_data.end()));
        if (record) records.push_back(*record);
    }
    return records;
}

// The service's answer to a request of the host's user.
BrokerResult Call(platform::sim::SimHost& host, const BrokerRequest& request) {
    auto reply = CallBroker(host.platform(), request);
    EXPECT_TRUE(reply) << reply.error().Display();
    if (!reply) return ErrorResult{"(no reply)"};
    EXPECT_EQ(reply->service_pid, host.service().Find(kServiceName)->status.process_id);
    return reply->result;
}

// A lease of this boot that the file gives is one the service found at its
// start: retained, held by no registration; recovery never removes it. One
// of an earlier boot was removed when the service started.
TEST(OfflineServiceOnAHostFile, KeepsThisBootsLeaseRetainedAndRemovesAnEarlierBoots) {
    LoadedHost current = Load(WithLease(kDefaultBootId));
    ASSERT_EQ(FilterRecords(*current.host).size(), 4u);
    const auto record = FilterRecords(*current.host)[0];
    EXPECT_EQ(record.owner_sid, current.host->security().TokenUser().ToString());
    const auto package = identity::DeriveProfileSid(current.host->platform().appcontainer, kProfile);
    ASSERT_TRUE(package) << package.error().Display();
    EXPECT_EQ(record.package_sid, package->ToString());
    EXPECT_EQ(Call(*current.host, StatusRequest{}), BrokerResult(StatusResult{0, 1}));
    auto recovered = CallBroker(current.host->platform(), RecoverRequest{kProtocolVersion, kProfile});
    ASSERT_FALSE(recovered);
    EXPECT_EQ(recovered.error().Display(),
              "offline-network broker: same-boot orphan has no provable original Job; network protection and "
              "filesystem recovery are retained until reboot");
    EXPECT_EQ(FilterRecords(*current.host).size(), 4u);

    LoadedHost rebooted = Load(WithLease(kEarlierBoot));
    EXPECT_EQ(FilterRecords(*rebooted.host).size(), 0u);
    EXPECT_EQ(Call(*rebooted.host, StatusRequest{}), BrokerResult(StatusResult{0, 0}));
    EXPECT_EQ(offline_network::GuidText(rebooted.host->wfp().BootIdentifier()), kDefaultBootId);
}

TEST(OfflineServiceOnAHostFile, AServiceThatStopsAtItsStartIsALoadError) {
    std::string text(DefaultHostFile());
    const std::string layout = R"("wfp": {"provider": true, "sublayer": true, "filters": []},)";
    text.replace(text.find(layout), layout.size(), R"("wfp": {"provider": false, "sublayer": false, "filters": []},)");
    auto loaded = ReadHostFile(text);
    ASSERT_FALSE(loaded);
    EXPECT_NE(loaded.error().Display().find("the offline-network service stopped at its start: network service stopped "
                                            "after failure: Telvo offline WFP provider is not installed"),
              std::string::npos)
        << loaded.error().Display();

    // Stopped in the file: nothing serves the pipe, but the SCM would start the real service.
    const std::string running = R"("state": "running")";
    std::string stopped(DefaultHostFile());
    stopped.replace(stopped.find(running), running.size(), R"("state": "stopped")");
    const std::string pid = R"("processId": 812)";
    ASSERT_NE(stopped.find(pid), std::string::npos);
    stopped.replace(stopped.find(pid), pid.size(), R"("processId": 0)");
    LoadedHost idle = Load(stopped);
    auto opened = idle.host->platform().files.CreateFileW(kBrokerPipeName, platform::file_access::kGenericRead, 0,
                                                          platform::creation_disposition::kOpenExisting, 0);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), SysError::Win32(platform::win32_error::kFileNotFound));
    ASSERT_TRUE(StartOfflineService(*idle.host, true));
    EXPECT_EQ(Call(*idle.host, StatusRequest{}), BrokerResult(StatusResult{0, 0}));
}

// A controller's framed request into the helper's own process entry on a
// host read from a file; the record it wrote.
struct OfflineRun {
    explicit OfflineRun(LoadedHost loaded_host) : loaded(std::move(loaded_host)), host(*loaded.host) {
        // The controller keeps its end open while the run lasts.
        host.stdin_pipe().HoldOpen();
    }
    ~OfflineRun() {
        host.stdin_pipe().CloseWriter();
        EndOfflineService(host);
    }

    std::uint32_t Entry(const std::string& command) {
        host.stdin_pipe().SetBytes(telvo::testing::Frame(
            R"({"operation":"run","protocolVersion":1,"command":")" + command +
            R"(","cwd":"C:\\Users\\alice\\work","root":"C:\\Users\\alice\\work","mode":"workspace-write",)"
            R"("readableRoots":[],"privatePaths":[],"networkAccess":false})"));
        return app::ProcessEntry(host.platform());
    }
    std::string Record() {
        const std::string out = host.stdout_pipe().Bytes();
        return out.substr(std::min(out.find("{\"kind\":"), out.size()));
    }
    // As the process ends, and the next one starts.
    void EndProcess() {
        host.stdin_pipe().CloseWriter();
        if (!host.CallerIsDead()) host.EndProcessAndStartNext();
        host.faults().ClearCrash();
    }
    // What a sandbox run left beyond what the host had before (its metadata
    // targets grant the two application-package groups already).
    std::vector<std::string> Leftovers() {
        static const std::vector<std::string> kBefore = OfflineRun(Load()).All();
        std::vector<std::string> left;
        std::ranges::set_difference(All(), kBefore, std::back_inserter(left));
        return left;
    }
    std::vector<std::string> All() {
        auto all = telvo::testing::RunLeftovers(host, kStateDirectory);
        std::ranges::sort(all);
        return all;
    }

    LoadedHost loaded;
    platform::sim::SimHost& host;
};

TEST(OfflineRunOnTheDefaultHost, HoldsOneLeaseWhileTheCommandRunsAndNoneAfter) {
    OfflineRun run(Load());
    std::vector<offline_network::LeaseRecord> during;
    std::vector<std::uint64_t> ids;
    run.host.processes().Script(CommandLineOf(run.host.system().SystemDirectory(), u"observe"),
                                {step::HostCall{[&](platform::sim::SimProcess&) {
                                     during = FilterRecords(run.host);
                                     for (const auto& filter : run.host.wfp().Filters()) ids.push_back(filter.filter_id);
                                 }},
                                 step::Exit{0}});
    run.host.changes().Start();
    EXPECT_EQ(run.Entry("observe"), 0u);
    EXPECT_EQ(run.Record(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    ASSERT_EQ(during.size(), 4u);
    EXPECT_TRUE(identity::ValidateProfileName(during[0].profile_name));
    // Registered by the helper process itself, as its user.
    EXPECT_EQ(during[0].owner_sid, run.host.security().TokenUser().ToString());
    EXPECT_EQ(FilterRecords(run.host).size(), 0u);
    // The change report names the lease, installed and removed again.
    const std::string report = DescribeChanges(run.host.changes());
    std::ranges::sort(ids);
    EXPECT_NE(report.find("lease " + during[0].lease_id + "\n  undone  installed (profile " + during[0].profile_name +
                          ", filters " + std::to_string(ids[0]) + ", " + std::to_string(ids[1]) + ", " +
                          std::to_string(ids[2]) + ", " + std::to_string(ids[3]) + ")\n"),
              std::string::npos)
        << report;
    run.EndProcess();
    EXPECT_EQ(run.Leftovers(), std::vector<std::string>{});
}

// Cut off once the child runs under its lease: the service sweeps the lease
// of the ended process (its Job killed the child); the state written after
// holds no lease, and the journal's recovery succeeds on the host read back.
TEST(OfflineRunOnTheDefaultHost, ACrashedRunsLeaseIsSweptBeforeTheStateIsWritten) {
    std::uint64_t resumed = 0;
    {
        OfflineRun reference(Load());
        reference.host.faults().CountOnly(reference.host.caller().id());
        reference.host.faults().WatchAll();
        ASSERT_EQ(reference.Entry("build"), 0u) << reference.host.stdout_pipe().Bytes();
        const auto log = reference.host.faults().Log();
        const auto at = std::ranges::find(log, std::string("ResumeThread"), &platform::sim::FaultPlan::Call::call);
        ASSERT_NE(at, log.end());
        resumed = static_cast<std::uint64_t>(at - log.begin()) + 1;
    }
    OfflineRun crashed(Load());
    crashed.host.faults().CountOnly(crashed.host.caller().id());
    crashed.host.faults().CrashAfter(resumed);
    (void)crashed.Entry("build");
    ASSERT_TRUE(crashed.host.CallerIsDead());
    crashed.EndProcess();
    ASSERT_TRUE(SettleOfflineService(crashed.host));
    EXPECT_EQ(FilterRecords(crashed.host).size(), 0u);
    auto state = WriteHostFile(crashed.host);
    ASSERT_TRUE(state) << state.error().Display();

    OfflineRun next(Load(*state));
    EXPECT_NE(next.Leftovers(), std::vector<std::string>{});
    EXPECT_EQ(next.Entry("build"), 0u) << next.host.stdout_pipe().Bytes();
    next.EndProcess();
    EXPECT_EQ(next.Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::telvo_sim
