// The broker service's request handler against a client in its own
// simulated process: authentication, the lease table and the reply that
// must reach the client before the pipe is disconnected.

#include <gtest/gtest.h>

#include "network_broker/broker_service_fixture.h"
#include "windows/journal.h"

namespace telvo::network_broker::testing {
namespace {

using platform::sim::SimFailFast;

struct BrokerRequestsTest : BrokerServiceFixture {
    // Registers `sandbox` and returns the lease id.
    std::string Registered(const Sandbox& sandbox) {
        const Exchange exchange = Call(Register(sandbox));
        EXPECT_EQ(ErrorOf(exchange), "");
        EXPECT_TRUE(exchange.served) << exchange.served.error().Display();
        if (!exchange.reply) return "";
        const auto* registered = std::get_if<RegisteredResult>(&exchange.reply->result);
        return registered ? registered->lease_id : "";
    }
    void EndChild(const Sandbox& sandbox) {
        AsClient([&] { return platform.processes.TerminateJobObject(sandbox.job, 1).has_value(); });
    }
};

TEST_F(BrokerRequestsTest, RegisterInstallsTheLeaseAndOnlyAnEmptyJobReleasesIt) {
    const Sandbox sandbox = MakeSandbox(1);
    const Exchange exchange = Call(Register(sandbox));
    ASSERT_EQ(ErrorOf(exchange), "");
    const auto& registered = std::get<RegisteredResult>(exchange.reply->result);
    EXPECT_EQ(exchange.reply->service_pid, host.caller().id());
    const auto leases = Leases();
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0].record.profile_name, sandbox.profile);
    EXPECT_EQ(leases[0].record.caller_pid, client.id());
    EXPECT_EQ(leases[0].filter_ids, registered.filter_ids);
    EXPECT_EQ(state.lease_count, 1u);
    EXPECT_FALSE(host.security().ThreadImpersonates());

    // A second lease for the same profile is refused.
    EXPECT_EQ(ErrorOf(Call(Register(MakeSandbox(1)))), "this sandbox profile already has an offline lease");

    // The child still runs: the lease stays.
    EXPECT_EQ(ErrorOf(Call(Release(sandbox, registered.lease_id))),
              "cannot release network protection while job processes remain");
    EXPECT_EQ(Leases().size(), 1u);

    // Another process of the same user cannot release it.
    EndChild(sandbox);
    SimHelperProcess& other = host.StartHelperProcess();
    other.SetToken(client.shared_token());
    EXPECT_EQ(ErrorOf(Call(Release(sandbox, registered.lease_id), &other)),
              "matching live offline lease not found; any same-boot orphan protection is retained until reboot");
    EXPECT_EQ(Leases().size(), 1u);

    // Another Job of the client is not the registered one.
    const Sandbox decoy = MakeSandbox(2);
    EndChild(decoy);
    ReleaseRequest wrong_job = Release(sandbox, registered.lease_id);
    wrong_job.job_handle = static_cast<std::uint64_t>(decoy.job);
    EXPECT_EQ(ErrorOf(Call(wrong_job)), "release job differs from the originally registered job");

    EXPECT_EQ(ErrorOf(Call(Release(sandbox, registered.lease_id))), "");
    EXPECT_TRUE(Leases().empty());
    EXPECT_EQ(state.lease_count, 0u);
    EXPECT_TRUE(state.active.empty());
}

TEST_F(BrokerRequestsTest, EveryRefusedSandboxGetsItsErrorAndNoFilter) {
    struct Case {
        const char* name;
        SandboxOptions options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no kill-on-close", {.limit_flags = 0}, "client job must kill on close and prohibit breakaway"},
        {"breakaway", {.limit_flags = platform::job_limit::kKillOnJobClose | platform::job_limit::kBreakawayOk},
         "client job must kill on close and prohibit breakaway"},
        {"silent breakaway",
         {.limit_flags = platform::job_limit::kKillOnJobClose | platform::job_limit::kSilentBreakawayOk},
         "client job must kill on close and prohibit breakaway"},
        {"child outside the job", {.child_in_job = false},
         "sandbox child does not belong to the authenticated client's job"},
        {"another package", {.package_of_profile = ProfileName(99)},
         "actual sandbox package SID differs from the requested Telvo profile"},
        {"not an AppContainer", {.app_container = false},
         "sandbox child must be an AppContainer owned by the authenticated caller"},
        {"not less-privileged", {.less_privileged = false},
         "sandbox token accepts ALL APPLICATION PACKAGES; LPAC restriction required"},
    };
    unsigned n = 10;
    for (const Case& refused : cases) {
        SCOPED_TRACE(refused.name);
        const Exchange exchange = Call(Register(MakeSandbox(n++, refused.options)));
        EXPECT_EQ(ErrorOf(exchange), refused.message);
        EXPECT_FALSE(exchange.served);
        EXPECT_TRUE(Leases().empty());
        EXPECT_TRUE(state.active.empty());
    }
}

TEST_F(BrokerRequestsTest, AJobHandleWithoutQueryAndTerminateIsRefused) {
    Sandbox sandbox = MakeSandbox(3);
    sandbox.job = AsClient([&] {
        return platform.processes.DuplicateHandle(platform::kCurrentProcess, sandbox.job,
                                                  platform::job_access::kAssignProcess, 0)
            .value();
    });
    EXPECT_EQ(ErrorOf(Call(Register(sandbox))),
              "client job handle must already grant QUERY and TERMINATE (NTSTATUS 0x00000000)");
    EXPECT_TRUE(Leases().empty());
}

TEST_F(BrokerRequestsTest, EveryRefusedClientGetsItsErrorAndNoFilter) {
    // The pipe's own descriptor keeps low-integrity, AppContainer and
    // unauthenticated clients from opening it at all; here it lets them in.
    pipe.reset();
    pipe = UniqueHandle(platform.kernel,
                        platform.pipes
                            .CreateNamedPipeW(kBrokerPipeName, 0x40080003, platform::pipe_mode::kRejectRemoteClients, 1,
                                              16388, 16388, 0,
                                              winformat::ParseSddl("O:SYG:SYD:P(A;;GA;;;SY)(A;;0x0012019b;;;WD)"
                                                                   "(A;;0x0012019b;;;S-1-15-2-1)S:(ML;;NW;;;LW)")
                                                  .value()
                                                  .ToSelfRelative())
                            .value());
    const Sandbox sandbox = MakeSandbox(4);
    const auto user = client.shared_token();
    const auto with = [&](auto change) {
        SimToken token = *user;
        change(token);
        return std::make_shared<const SimToken>(token);
    };

    client.SetToken(with([](SimToken& token) { token.identity.integrity_rid = 0x1000; }));
    EXPECT_EQ(ErrorOf(Call(Register(sandbox))), "offline-network client requires medium or higher integrity");

    client.SetToken(with([&](SimToken& token) {
        token = SimToken::AppContainerFrom(*user, sandbox.child->token().package.value(), {}, false);
        token.identity.integrity_rid = 0x2000;
    }));
    EXPECT_EQ(ErrorOf(Call(Register(sandbox))), "AppContainer clients cannot control offline-network leases");

    client.SetToken(with([](SimToken& token) {
        std::erase_if(token.identity.groups, [](const platform::sim::TokenGroup& group) {
            return group.sid == winformat::well_known::AuthenticatedUsers();
        });
    }));
    EXPECT_EQ(ErrorOf(Call(Register(sandbox))), "offline-network client is not an authenticated user");

    // The process token changes after the open: the identity the pipe lends
    // is not the process's.
    client.SetToken(user);
    SimHelperProcess& changing = host.StartHelperProcess();
    changing.SetToken(user);
    host.faults().OnCall("WriteFile(overlapped)", host.faults().Count("WriteFile(overlapped)") + 1, [&] {
        changing.SetToken(with([](SimToken& token) { token.identity.user = *winformat::Sid::Parse("S-1-5-21-9-9-9-1002"); }));
    });
    EXPECT_EQ(ErrorOf(Call(Register(sandbox), &changing)), "pipe impersonation identity differs from its actual process");

    EXPECT_TRUE(Leases().empty());
    EXPECT_TRUE(state.active.empty());
}

TEST_F(BrokerRequestsTest, CapacityAdmitsTheTwoHundredFiftySixthLeaseAndNoMore) {
    for (unsigned n = 0; n < kMaxBrokerLeases - 1; ++n) {
        offline_network::LeaseRecord record;
        record.profile_name = ProfileName(1000 + n);
        state.retained.push_back(record);
    }
    StoreLeaseCount(state);
    const Sandbox last = MakeSandbox(5);
    EXPECT_EQ(ErrorOf(Call(Register(last))), "");
    EXPECT_EQ(state.lease_count, kMaxBrokerLeases);
    EXPECT_EQ(ErrorOf(Call(Register(MakeSandbox(6)))),
              "offline-network lease capacity reached; refusing unprotected execution");
    EXPECT_EQ(Leases().size(), 1u);
}

TEST_F(BrokerRequestsTest, RecoverKeepsARetainedLeaseAndItsFilters) {
    const Sandbox sandbox = MakeSandbox(7);
    ASSERT_NE(Registered(sandbox), "");
    // As a restarted service finds it: retained, no Job to prove it by.
    state.retained.push_back(state.active[0].record);
    state.active.clear();
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, sandbox.profile})),
              "same-boot orphan has no provable original Job; network protection and filesystem recovery are retained "
              "until reboot");
    SimHelperProcess& stranger = host.StartHelperProcess();
    stranger.SetToken(std::make_shared<const SimToken>(
        SimToken::InteractiveUser(*winformat::Sid::Parse("S-1-5-21-9-9-9-1002"), false, false)));
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, sandbox.profile}, &stranger)),
              "recovery profile belongs to a different account");
    EXPECT_EQ(Leases().size(), 1u);
}

TEST_F(BrokerRequestsTest, RecoverRemovesTheLeaseOfADeadHelperOnly) {
    const Sandbox sandbox = MakeSandbox(8);
    ASSERT_NE(Registered(sandbox), "");
    SimHelperProcess& next = host.StartHelperProcess();
    next.SetToken(client.shared_token());
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, sandbox.profile}, &next)),
              "original sandbox helper is still alive or its death cannot be proved; recovery refused");
    EXPECT_EQ(Leases().size(), 1u);

    client.End();  // its Job closes and kills the child
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, sandbox.profile}, &next)), "");
    EXPECT_TRUE(Leases().empty());
    EXPECT_FALSE(sandbox.child->Active());
}

TEST_F(BrokerRequestsTest, RecoverWithoutALeaseTrustsOnlyAMissingMarker) {
    const std::string profile = ProfileName(9);
    // The marker lets only its user wait on it: the service's open is refused,
    // and that counts as a live run.
    std::optional<UniqueHandle> marker;
    AsClient([&] {
        marker.emplace(windows::CreateLiveMarker(platform, "Global\\" + profile).value());
        return 0;
    });
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, profile})),
              "original helper marker is still live; recovery refused");
    AsClient([&] {
        marker.reset();
        return 0;
    });
    EXPECT_EQ(ErrorOf(Call(RecoverRequest{kProtocolVersion, profile})), "");
}

TEST_F(BrokerRequestsTest, SweepRetiresADeadOwnersLeaseAndKeepsAnUnprovableOne) {
    const Sandbox dead = MakeSandbox(11);
    ASSERT_NE(Registered(dead), "");
    const Sandbox alive = MakeSandbox(12);
    SimHelperProcess& second = host.StartHelperProcess();
    second.SetToken(client.shared_token());
    // The second lease belongs to the client too; it is made unwaitable below.
    ASSERT_NE(Registered(alive), "");
    ASSERT_EQ(Leases().size(), 2u);

    EXPECT_TRUE(SweepLeaseOwners(platform, state, false));
    EXPECT_EQ(Leases().size(), 2u);

    // The second lease's owner handle cannot be waited on.
    state.active[1].client_process = UniqueHandle(platform.kernel, platform::Handle{0xBAD0});
    client.End();
    auto swept = SweepLeaseOwners(platform, state, false);
    ASSERT_FALSE(swept);
    EXPECT_EQ(swept.error().Display(), "cannot determine lease owner liveness; filters retained");
    ASSERT_EQ(state.active.size(), 1u);
    EXPECT_EQ(state.active[0].record.profile_name, alive.profile);
    const auto left = Leases();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].record.profile_name, alive.profile);
    EXPECT_EQ(state.lease_count, 1u);

    // The final sweep takes what is left, once its Job is empty.
    EXPECT_TRUE(SweepLeaseOwners(platform, state, true));
    EXPECT_TRUE(Leases().empty());
    EXPECT_EQ(state.lease_count, 0u);
}

TEST_F(BrokerRequestsTest, AJobThatDoesNotEmptyKeepsItsLease) {
    const Sandbox sandbox = MakeSandbox(13);
    ASSERT_NE(Registered(sandbox), "");
    host.faults().FailAlways("TerminateJobObject", SysError::Win32(5));
    client.End();
    auto swept = SweepLeaseOwners(platform, state, false);
    ASSERT_FALSE(swept);
    EXPECT_EQ(Leases().size(), 1u);
    EXPECT_EQ(state.active.size(), 1u);
}

TEST_F(BrokerRequestsTest, APoisonedLockAnswersEveryRequestWithItsMessage) {
    try {
        const PoisonableMutex::Guard guard(state.lock);
        throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ErrorOf(Call(StatusRequest{})), "broker admission lock poisoned");
    EXPECT_EQ(SweepLeaseOwners(platform, state, false).error().Display(), "broker admission lock poisoned");
}

TEST_F(BrokerRequestsTest, StatusCountsAndAnUnknownVersionIsRefused) {
    state.retained.push_back(offline_network::LeaseRecord{});
    const Exchange status = Call(StatusRequest{});
    ASSERT_EQ(ErrorOf(status), "");
    EXPECT_EQ(std::get<StatusResult>(status.reply->result), (StatusResult{0, 1}));
    EXPECT_EQ(ErrorOf(Call(StatusRequest{2})), "unsupported broker protocol version");
}

TEST_F(BrokerRequestsTest, ARevertThatFailsEndsTheServiceAtOnce) {
    host.faults().FailOn("RevertToSelf", 1, SysError::Win32(5));
    EXPECT_THROW((void)Call(StatusRequest{}), SimFailFast);
}

TEST_F(BrokerRequestsTest, TheReplyWaitsForTheClientToCloseWithinTheDeadline) {
    // A client that writes its request and never reads: the service gives up
    // at the exchange's deadline.
    UniqueHandle event(platform.kernel, platform.pipes.CreateEventW(true, false).value());
    platform::Overlapped connect{0, 0, 0, 0, event.get()};
    (void)platform.pipes.ConnectNamedPipe(pipe.get(), connect);
    UniqueHandle end = AsClient([&] {
        UniqueHandle opened(platform.kernel,
                            platform.files.CreateFileW(kBrokerPipeName, platform::kPipeReadWriteNoAppend, 0,
                                                       platform::creation_disposition::kOpenExisting, kBrokerPipeFlags)
                                .value());
        EXPECT_TRUE(WriteRequestFrame(platform, opened.get(), StatusRequest{}, PipeDeadline::After(platform, 1000)));
        return opened;
    });
    const std::uint64_t start = platform.kernel.GetTickCount64();
    auto served = ServeBrokerClient(platform, state, pipe.get());
    ASSERT_FALSE(served);
    EXPECT_NE(served.error().Display().find("did not close after its reply"), std::string::npos);
    EXPECT_LE(platform.kernel.GetTickCount64() - start, 10000u);
    // What it wrote is still there for the client until the disconnect.
    AsClient([&] {
        auto reply = ReadReplyFrame(platform, end.get(), PipeDeadline::After(platform, 1000));
        EXPECT_TRUE(reply);
        return 0;
    });
}

}  // namespace
}  // namespace telvo::network_broker::testing
