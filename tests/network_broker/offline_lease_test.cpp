#include "network_broker/offline_lease.h"

#include <gtest/gtest.h>

#include "network_broker/broker_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;

constexpr char kProfile[] = "Telvo.Sandbox.0123456789abcdef0123456789abcdef";
constexpr char kLeaseId[] = "6f1c1f1e-3d1c-4a3e-9c55-0f0e5a7d2b11";

struct LeaseHost {
    BrokerTestHost broker;
    std::shared_ptr<process::SandboxJob> job = process::CreateSandboxJob(broker.platform()).value();

    Result<OfflineLease> Register() {
        broker.ServeResult(RegisteredResult{kLeaseId, {21, 22, 23, 24}});
        return RegisterOfflineLease(broker.platform(), kProfile, 7001, job);
    }
    std::string ReleaseFrame() const {
        return Frame(std::string(R"({"operation":"release","protocolVersion":1,"profileName":")") + kProfile +
                     R"(","leaseId":")" + kLeaseId + R"(","jobHandle":)" +
                     std::to_string(static_cast<std::uint64_t>(job->handle())) + "}");
    }
};

std::string Message(const auto& result) { return result ? "ok" : result.error().Display(); }

TEST(OfflineLease, RegisterSendsTheChildAndJobAndKeepsTheLeaseId) {
    LeaseHost host;
    auto server = host.broker.ServeResult(RegisteredResult{kLeaseId, {21, 22, 23, 24}});
    auto lease = RegisterOfflineLease(host.broker.platform(), kProfile, 7001, host.job);
    ASSERT_TRUE(lease) << lease.error().Display();
    EXPECT_EQ(lease->lease_id(), kLeaseId);
    EXPECT_EQ(lease->profile_name(), kProfile);
    EXPECT_FALSE(lease->released());
    EXPECT_EQ(server->received(),
              Frame(std::string(R"({"operation":"register","protocolVersion":1,"profileName":")") + kProfile +
                    R"(","processId":7001,"jobHandle":)" + std::to_string(static_cast<std::uint64_t>(host.job->handle())) +
                    "}"));
    host.broker.ServeResult(ReleasedResult{});
    EXPECT_TRUE(ReleaseOfflineLease(*lease));
}

TEST(OfflineLease, MalformedRegistrationRepliesAreRefused) {
    const std::vector<BrokerResult> replies{
        RegisteredResult{"", {1, 2, 3, 4}}, RegisteredResult{kLeaseId, {1, 0, 3, 4}},
        RegisteredResult{kLeaseId, {1, 2, 3, 0}}, ReleasedResult{}, StatusResult{1, 0}};
    for (const auto& reply : replies) {
        LeaseHost host;
        host.broker.ServeResult(reply);
        EXPECT_EQ(Message(RegisterOfflineLease(host.broker.platform(), kProfile, 7001, host.job)),
                  "unexpected network broker registration reply");
        // No lease exists, so nothing is released.
        EXPECT_EQ(host.broker.host.faults().Count("QueryInformationJobObject"), 0u);
    }
}

TEST(OfflineLease, ReleaseWaitsForAnEmptyJobAndSendsNothingUntilThen) {
    LeaseHost host;
    auto lease = host.Register();
    ASSERT_TRUE(lease);
    auto child = host.broker.host.processes().StartInJob(host.job->handle(), {});
    auto server = host.broker.ServeResult(ReleasedResult{});
    const std::uint64_t opens = host.broker.host.faults().Count("CreateFileW");
    EXPECT_EQ(Message(ReleaseOfflineLease(*lease)), "Windows sandbox job still has 1 active process(es)");
    EXPECT_FALSE(lease->released());
    EXPECT_EQ(host.broker.host.faults().Count("CreateFileW"), opens);
    EXPECT_FALSE(server->connected());

    child->Exit(0);
    ASSERT_TRUE(ReleaseOfflineLease(*lease));
    EXPECT_TRUE(lease->released());
    EXPECT_EQ(server->received(), host.ReleaseFrame());

    // Released: nothing more happens, not even a query of the job.
    const std::uint64_t calls = host.broker.host.faults().Total();
    EXPECT_TRUE(ReleaseOfflineLease(*lease));
    EXPECT_EQ(host.broker.host.faults().Total(), calls);
}

TEST(OfflineLease, ReleaseAnsweredOtherwiseLeavesTheLeaseRegistered) {
    LeaseHost host;
    auto lease = host.Register();
    ASSERT_TRUE(lease);
    host.broker.ServeResult(RecoveredResult{});
    EXPECT_EQ(Message(ReleaseOfflineLease(*lease)), "unexpected network broker release reply");
    EXPECT_FALSE(lease->released());
    host.broker.ServeResult(ErrorResult{"cannot release network protection while job processes remain"});
    EXPECT_EQ(Message(ReleaseOfflineLease(*lease)),
              "offline-network broker: cannot release network protection while job processes remain");
    EXPECT_FALSE(lease->released());
    host.broker.ServeResult(ReleasedResult{});
    EXPECT_TRUE(ReleaseOfflineLease(*lease));
}

TEST(OfflineLease, ADiscardedRegisteredLeaseTriesOneRelease) {
    {
        LeaseHost host;
        std::shared_ptr<SimPipeServer> server;
        {
            auto lease = host.Register();
            ASSERT_TRUE(lease);
            server = host.broker.ServeResult(ReleasedResult{});
        }
        EXPECT_EQ(server->received(), host.ReleaseFrame());
    }
    {
        // Still running: the attempt sends nothing, and its error goes nowhere.
        LeaseHost host;
        std::shared_ptr<SimPipeServer> server;
        {
            auto lease = host.Register();
            ASSERT_TRUE(lease);
            host.broker.host.processes().StartInJob(host.job->handle(), {});
            server = host.broker.ServeResult(ReleasedResult{});
        }
        EXPECT_FALSE(server->connected());
    }
    {
        // A moved-from lease is not released twice.
        LeaseHost host;
        auto lease = host.Register();
        ASSERT_TRUE(lease);
        auto server = host.broker.ServeResult(ReleasedResult{});
        {
            OfflineLease moved(std::move(*lease));
            EXPECT_TRUE(ReleaseOfflineLease(moved));
        }
        const std::uint64_t opens = host.broker.host.faults().Count("CreateFileW");
        lease = Fail("dropped");
        EXPECT_EQ(host.broker.host.faults().Count("CreateFileW"), opens);
    }
}

TEST(OfflineLease, RecoverAndStatus) {
    {
        BrokerTestHost broker;
        auto server = broker.ServeResult(RecoveredResult{});
        EXPECT_TRUE(RecoverOfflineLease(broker.platform(), kProfile));
        EXPECT_EQ(server->received(),
                  Frame(std::string(R"({"operation":"recover","protocolVersion":1,"profileName":")") + kProfile + "\"}"));
        broker.ServeResult(ReleasedResult{});
        EXPECT_EQ(Message(RecoverOfflineLease(broker.platform(), kProfile)), "unexpected network broker recovery reply");
    }
    {
        BrokerTestHost broker;
        broker.ServeResult(StatusResult{3, 1});
        auto status = QueryBrokerStatus(broker.platform());
        ASSERT_TRUE(status) << status.error().Display();
        EXPECT_EQ(status->active_leases, 3u);
        EXPECT_EQ(status->retained_leases, 1u);
        EXPECT_EQ(status->service_pid, kServicePid);
        EXPECT_EQ(status->policy_version, 1u);
        broker.ServeResult(RecoveredResult{});
        EXPECT_EQ(Message(QueryBrokerStatus(broker.platform())), "unexpected offline network status reply");
    }
}

}  // namespace
}  // namespace telvo::network_broker
