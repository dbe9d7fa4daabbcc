// The simulated offline-network broker: its answers through the real broker
// client, and offline runs on the default host, whole and cut off by a crash,
// with the lease kept through a state file for the recovery to drop.
#include "telvo_sim/sim_broker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>

#include "identity/identifier_text.h"
#include "main/process_entry.h"
#include "telvo_sim/change_report.h"
#include "winformat/text.h"
#include "network_broker/broker_call.h"
#include "platform/file_constants.h"
#include "support/clean_host.h"
#include "support/frames.h"
#include "telvo_sim/host_file.h"
#include "windows/run_orchestration.h"

namespace telvo::telvo_sim {
namespace {

using namespace network_broker;
namespace step = platform::sim::step;

constexpr char kProfile[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char kOtherProfile[] = "Telvo.Sandbox.fedcba9876543210fedcba9876543210";
constexpr char16_t kStateDirectory[] = u"\\\\?\\C:\\Users\\alice\\AppData\\Local\\TelvoSandboxState-v1";

LoadedHost Load(std::string text = std::string(DefaultHostFile())) {
    auto loaded = ReadHostFile(text);
    EXPECT_TRUE(loaded) << loaded.error().Display();
    return std::move(*loaded);
}

// The broker's answer, or the client's error text.
Result<BrokerResult> Call(LoadedHost& loaded, const BrokerRequest& request) {
    auto reply = CallBroker(loaded.host->platform(), request);
    if (!reply) return std::unexpected(reply.error());
    EXPECT_EQ(reply->service_pid, loaded.host->service().Find(u"TelvoOfflineNetwork")->status.process_id);
    return reply->result;
}

std::string ErrorOf(const Result<BrokerResult>& result) { return result ? "(answered)" : result.error().Display(); }

RegisteredResult Register(LoadedHost& loaded, const std::string& profile) {
    auto result = Call(loaded, RegisterRequest{kProtocolVersion, profile, 4242, 0x88});
    EXPECT_TRUE(result && std::holds_alternative<RegisteredResult>(*result)) << ErrorOf(result);
    return result ? std::get<RegisteredResult>(*result) : RegisteredResult{};
}

TEST(SimBroker, AnswersEachRequestAsTheRunningService) {
    LoadedHost loaded = Load();
    auto status = Call(loaded, StatusRequest{});
    ASSERT_TRUE(status) << ErrorOf(status);
    EXPECT_EQ(*status, BrokerResult(StatusResult{0, 0}));

    const RegisteredResult first = Register(loaded, kProfile);
    EXPECT_TRUE(identity::ParseCanonicalUuid(first.lease_id)) << first.lease_id;
    EXPECT_EQ(ErrorOf(Call(loaded, RegisterRequest{kProtocolVersion, kProfile, 4242, 0x88})),
              "offline-network broker: this sandbox profile already has an offline lease");
    const RegisteredResult second = Register(loaded, kOtherProfile);
    EXPECT_NE(second.lease_id, first.lease_id);
    std::set<std::uint64_t> filters(first.filter_ids.begin(), first.filter_ids.end());
    filters.insert(second.filter_ids.begin(), second.filter_ids.end());
    EXPECT_EQ(filters.size(), 8u);
    EXPECT_FALSE(filters.contains(0));
    const std::string boot(SimBroker::kDefaultBootId);
    EXPECT_EQ(loaded.broker->Leases(), (std::vector<SimLease>{{kProfile, first.lease_id, first.filter_ids, boot, false},
                                                               {kOtherProfile, second.lease_id, second.filter_ids, boot,
                                                                false}}));
    EXPECT_EQ(*Call(loaded, StatusRequest{}), BrokerResult(StatusResult{2, 0}));

    // Only the lease it holds, by profile and id, is released.
    constexpr char kNotHeld[] =
        "offline-network broker: matching live offline lease not found; any same-boot orphan protection is retained "
        "until reboot";
    EXPECT_EQ(ErrorOf(Call(loaded, ReleaseRequest{kProtocolVersion, kProfile, second.lease_id, 0x88})), kNotHeld);
    EXPECT_EQ(loaded.broker->Leases().size(), 2u);
    EXPECT_EQ(*Call(loaded, ReleaseRequest{kProtocolVersion, kProfile, first.lease_id, 0x88}),
              BrokerResult(ReleasedResult{}));
    EXPECT_EQ(ErrorOf(Call(loaded, ReleaseRequest{kProtocolVersion, kProfile, first.lease_id, 0x88})), kNotHeld);

    // Recovery drops the profile's lease, and answers the same when there is none.
    EXPECT_EQ(*Call(loaded, RecoverRequest{kProtocolVersion, kOtherProfile}), BrokerResult(RecoveredResult{}));
    EXPECT_EQ(loaded.broker->Leases(), std::vector<SimLease>{});
    EXPECT_EQ(*Call(loaded, RecoverRequest{kProtocolVersion, kOtherProfile}), BrokerResult(RecoveredResult{}));
    // Without a lease, a run whose live marker exists is not over.
    const auto marker = loaded.host->sync().PlantMutex(u"Global\\" + winformat::AsciiToUtf16(kOtherProfile), {});
    EXPECT_EQ(ErrorOf(Call(loaded, RecoverRequest{kProtocolVersion, kOtherProfile})),
              "offline-network broker: original helper marker is still live; recovery refused");

    // A profile again after its lease went: a new lease, new filters.
    const RegisteredResult again = Register(loaded, kProfile);
    EXPECT_NE(again.lease_id, first.lease_id);
    EXPECT_GT(again.filter_ids[0], second.filter_ids[3]);
    EXPECT_EQ(ErrorOf(Call(loaded, RegisterRequest{kProtocolVersion, "Telvo.Sandbox.x", 4242, 0x88})),
              "offline-network broker: invalid Telvo AppContainer profile name");
}

TEST(SimBroker, RefusesRequestsItCannotRead) {
    SimBroker broker;
    const auto result = [&](std::string_view request) {
        const std::string frame = broker.Answer(request, 812);
        EXPECT_EQ(frame.substr(0, 4), telvo::testing::LengthPrefix(static_cast<std::uint32_t>(frame.size() - 4)));
        auto reply = DecodeBrokerReply(std::string_view(frame).substr(4));
        EXPECT_TRUE(reply) << frame;
        const auto* error = reply ? std::get_if<ErrorResult>(&reply->result) : nullptr;
        return error ? error->message : "(no error)";
    };
    EXPECT_TRUE(result("{").starts_with("invalid network broker JSON: ")) << result("{");
    EXPECT_EQ(result(R"({"operation":"status","protocolVersion":2})"), "unsupported broker protocol version");
    EXPECT_EQ(broker.Leases(), std::vector<SimLease>{});
}

// Leases read back from a state file are held; what the broker installs
// next never takes one of their ids, even where its own sequence would.
TEST(SimBroker, LeasesFromTheStateAreHeldAndNewIdsStayNew) {
    const auto registered = [](SimBroker& broker) {
        const std::string request = EncodeBrokerRequest(RegisterRequest{1, kProfile, 1, 1}).value();
        auto reply = DecodeBrokerReply(broker.Answer(request, 1).substr(4));
        EXPECT_TRUE(reply && std::holds_alternative<RegisteredResult>(reply->result));
        return reply ? std::get<RegisteredResult>(reply->result) : RegisteredResult{};
    };
    SimBroker fresh;
    const std::string sequence_start = registered(fresh).lease_id;
    const std::string boot(SimBroker::kDefaultBootId);
    SimBroker broker(boot, {{kOtherProfile, sequence_start, {90, 91, 92, 93}, boot, false}});
    const RegisteredResult next = registered(broker);
    EXPECT_NE(next.lease_id, sequence_start);
    EXPECT_EQ(next.filter_ids, (std::array<std::uint64_t, 4>{94, 95, 96, 97}));
    EXPECT_EQ(broker.Leases().size(), 2u);
}

// A lease the service found when it started, held by no registration: no
// release or recovery removes it; it ends with its boot.
TEST(SimBroker, RetainedLeaseStaysUntilTheBootEnds) {
    const std::string boot(SimBroker::kDefaultBootId);
    const SimLease orphan{kProfile, "0d2b1f0e-3c4a-4b5d-8e6f-708192a3b4c5", {5, 6, 7, 8}, boot, true};
    SimBroker broker(boot, {orphan});
    const auto answer = [&broker](const BrokerRequest& request) {
        auto reply = DecodeBrokerReply(broker.Answer(EncodeBrokerRequest(request).value(), 812).substr(4));
        EXPECT_TRUE(reply);
        return reply ? reply->result : BrokerResult{};
    };
    EXPECT_EQ(answer(StatusRequest{}), BrokerResult(StatusResult{0, 1}));
    EXPECT_EQ(answer(RecoverRequest{kProtocolVersion, kProfile}),
              BrokerResult(ErrorResult{"same-boot orphan has no provable original Job; network protection and "
                                       "filesystem recovery are retained until reboot"}));
    EXPECT_TRUE(std::holds_alternative<ErrorResult>(
        answer(ReleaseRequest{kProtocolVersion, kProfile, orphan.lease_id, 0x88})));
    EXPECT_EQ(broker.Leases(), std::vector<SimLease>{orphan});
    // The next boot's service removed it when it started.
    EXPECT_EQ(SimBroker("8c1e0a52-6f1c-4d4e-9a1b-0c2d3e4f5a6b", {orphan}).Leases(), std::vector<SimLease>{});
}

TEST(SimBroker, ThePipeIsServedOnlyWhileTheServiceRunsAndAsItsProcess) {
    std::string text(DefaultHostFile());
    const std::string pid = R"("processId": 812)";
    ASSERT_NE(text.find(pid), std::string::npos);
    text.replace(text.find(pid), pid.size(), R"("processId": 913)");
    LoadedHost moved = Load(text);
    auto status = CallBroker(moved.host->platform(), StatusRequest{});
    ASSERT_TRUE(status) << status.error().Display();
    EXPECT_EQ(status->service_pid, 913u);

    const std::string running = R"("state": "running")";
    text.replace(text.find(running), running.size(), R"("state": "stopped")");
    // A stopped service has no process.
    text.replace(text.find(R"("processId": 913)"), std::string_view(R"("processId": 913)").size(), R"("processId": 0)");
    LoadedHost stopped = Load(text);
    auto opened = stopped.host->platform().files.CreateFileW(kBrokerPipeName, platform::file_access::kGenericRead, 0,
                                                             platform::creation_disposition::kOpenExisting, 0);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), SysError::Win32(platform::win32_error::kFileNotFound));
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
        host.processes().JoinThreads();
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
        host.processes().JoinThreads();
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
    std::vector<SimLease> during;
    run.host.processes().Script(CommandLineOf(run.host.system().SystemDirectory(), u"observe"),
                                {step::HostCall{[&](platform::sim::SimProcess&) { during = run.loaded.broker->Leases(); }},
                                 step::Exit{0}});
    run.host.changes().Start();
    EXPECT_EQ(run.Entry("observe"), 0u);
    EXPECT_EQ(run.Record(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    ASSERT_EQ(during.size(), 1u);
    EXPECT_TRUE(identity::ValidateProfileName(during[0].profile_name));
    EXPECT_EQ(run.loaded.broker->Leases(), std::vector<SimLease>{});
    // The change report names the lease, installed and removed again.
    const std::string report = DescribeChanges(run.host.changes());
    const auto& lease = during[0];
    EXPECT_NE(report.find("lease " + lease.lease_id + "\n  undone  installed (profile " + lease.profile_name +
                          ", filters " + std::to_string(lease.filter_ids[0]) + ", "),
              std::string::npos)
        << report;
    run.EndProcess();
    EXPECT_EQ(run.Leftovers(), std::vector<std::string>{});
}

// Cut off once the child runs under its lease: the lease, the profile and
// the journal stay; the state file keeps the lease; a recover request on the
// host read back from it drops them all.
TEST(OfflineRunOnTheDefaultHost, ACrashedRunsLeaseOutlivesTheStateFileUntilRecovery) {
    std::uint64_t resumed = 0;
    {
        OfflineRun reference(Load());
        reference.host.faults().WatchAll();
        ASSERT_EQ(reference.Entry("build"), 0u) << reference.host.stdout_pipe().Bytes();
        const auto log = reference.host.faults().Log();
        const auto at = std::ranges::find(log, std::string("ResumeThread"), &platform::sim::FaultPlan::Call::call);
        ASSERT_NE(at, log.end());
        resumed = static_cast<std::uint64_t>(at - log.begin()) + 1;
    }
    OfflineRun crashed(Load());
    crashed.host.faults().CrashAfter(resumed);
    (void)crashed.Entry("build");
    ASSERT_TRUE(crashed.host.CallerIsDead());
    crashed.EndProcess();
    const std::vector<SimLease> held = crashed.loaded.broker->Leases();
    ASSERT_EQ(held.size(), 1u);
    auto state = WriteHostFile(crashed.host, *crashed.loaded.broker);
    ASSERT_TRUE(state) << state.error().Display();

    OfflineRun next(Load(*state));
    EXPECT_EQ(next.loaded.broker->Leases(), held);
    EXPECT_NE(next.Leftovers(), std::vector<std::string>{});
    auto recovered = windows::ExecuteRequest(next.host.platform(), protocol::Recover{1});
    ASSERT_TRUE(recovered) << recovered.error().Display();
    EXPECT_EQ(next.loaded.broker->Leases(), std::vector<SimLease>{});
    EXPECT_EQ(next.Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::telvo_sim
