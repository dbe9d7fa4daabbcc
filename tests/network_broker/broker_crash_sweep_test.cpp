// The service cut off after each seam call of a register and of a release,
// then started again by the Service Control Manager (the current boot's
// leases retained): a lease is whole or absent, present once it was
// committed, gone once its removal was.

#include <gtest/gtest.h>

#include <algorithm>

#include "network_broker/broker_service_fixture.h"
#include "network_broker/service_test_host.h"

namespace telvo::network_broker::testing {
namespace {

using platform::sim::SimFailFast;

// The service's side with whatever the crash leaves of it.
void ServeUntilCut(BrokerServiceHost& service) {
    try {
        platform::Overlapped connect{};
        (void)service.platform.pipes.ConnectNamedPipe(service.pipe.get(), connect);
        (void)ServeBrokerClient(service.platform, service.state, service.pipe.get());
    } catch (const SimFailFast&) {
    }
}

// The service started afresh by the Service Control Manager after the cut,
// as it is on the host the installer left: it must come up, enumerate the
// leases (which fails on one that is not whole) and keep those of this boot
// as retained. The leases the filtering engine then holds.
std::vector<offline_network::OfflineLease> LeasesAfterRestart(BrokerServiceHost& service) {
    service.host.files().AddVolume({});
    OfflineServiceOn restarted(service.host);
    EXPECT_TRUE(restarted.Start());
    EXPECT_TRUE(restarted.WaitForState(service_state::kRunning)) << ::testing::PrintToString(restarted.EventMessages());
    const auto leases = restarted.Leases();
    auto status = service.AsClient([&] { return CallBroker(service.platform, StatusRequest{}); });
    EXPECT_TRUE(status) << status.error().Display();
    if (status) {
        EXPECT_EQ(std::get<StatusResult>(status->result), (StatusResult{0, leases.size()}));
    }
    return leases;
}

// How many seam calls serving takes, and after which of them the WFP
// transaction named by `commit` was committed.
struct Plan {
    std::uint64_t calls = 0;
    std::uint64_t committed_after = 0;
};

template <class Prepare>
Plan Measure(Prepare prepare) {
    BrokerServiceHost service;
    prepare(service);
    service.host.faults().WatchAll();
    const std::size_t logged = service.host.faults().Log().size();
    const std::uint64_t before = service.host.faults().Total();
    ServeUntilCut(service);
    Plan plan;
    plan.calls = service.host.faults().Total() - before;
    const auto log = service.host.faults().Log();
    for (std::size_t index = logged; index < log.size(); ++index) {
        if (log[index].call == "FwpmTransactionCommit0") plan.committed_after = index - logged + 1;
    }
    EXPECT_GT(plan.committed_after, 0u);
    return plan;
}

// Cuts the service after each of its calls in turn: a restarted service
// finds `before_commit` leases when the cut came before the lease's WFP
// transaction was committed, `after_commit` once it was.
template <class Prepare>
void SweepCuts(Prepare prepare, std::size_t before_commit, std::size_t after_commit) {
    const Plan plan = Measure(prepare);
    ASSERT_GT(plan.calls, 20u);
    for (std::uint64_t point = 0; point < plan.calls; ++point) {
        SCOPED_TRACE("cut after call " + std::to_string(point));
        BrokerServiceHost service;
        prepare(service);
        service.host.faults().CrashAfter(point);
        ServeUntilCut(service);
        EXPECT_EQ(LeasesAfterRestart(service).size(), point >= plan.committed_after ? after_commit : before_commit);
    }
}

TEST(BrokerCrashSweepTest, ARegisterCutAnywhereLeavesTheLeaseWholeOrAbsent) {
    const auto prepare = [](BrokerServiceHost& service) {
        const Sandbox sandbox = service.MakeSandbox(1);
        service.ClientSends(service.Register(sandbox));
    };
    // The child still runs: once committed, its filters must stay.
    SweepCuts(prepare, 0, 1);
}

TEST(BrokerCrashSweepTest, AReleaseCutAnywhereLeavesTheLeaseWholeOrGone) {
    const auto prepare = [](BrokerServiceHost& service) {
        const Sandbox sandbox = service.MakeSandbox(2);
        const Exchange registered = service.Call(service.Register(sandbox));
        ASSERT_TRUE(registered.reply);
        const std::string lease_id = std::get<RegisteredResult>(registered.reply->result).lease_id;
        service.AsClient([&] { return service.platform.processes.TerminateJobObject(sandbox.job, 1).has_value(); });
        // After the first exchange the instance listens again only once connected.
        platform::Overlapped connect{};
        (void)service.platform.pipes.ConnectNamedPipe(service.pipe.get(), connect);
        service.ClientSends(service.Release(sandbox, lease_id));
    };
    // The Job is empty: the lease may go, but only whole.
    SweepCuts(prepare, 1, 0);
}

}  // namespace
}  // namespace telvo::network_broker::testing
