#pragma once

// A simulated host on which the first process is the broker service
// (LocalSystem, the offline layout installed, the broker pipe created as the
// service creates it) and a second process is its client, a helper of an
// interactive user with a sandbox Job and child of its own. One exchange runs
// the client on its own OS thread and serves it on the test's.

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "identity/profile.h"
#include "network_broker/broker_call.h"
#include "network_broker/broker_frame.h"
#include "network_broker/broker_requests.h"
#include "network_broker/broker_state.h"
#include "network_broker/lease_table.h"
#include "offline_network/lease_record.h"
#include "offline_network/offline_layout.h"
#include "offline_network/offline_leases.h"
#include "offline_network/wfp_transaction.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"
#include "winformat/sddl.h"

namespace telvo::network_broker::testing {

using platform::Handle;
using platform::UniqueHandle;
using platform::sim::SimHelperProcess;
using platform::sim::SimHost;
using platform::sim::SimProcess;
using platform::sim::SimToken;

inline constexpr char kBrokerPipeSddl[] = "O:SYG:SYD:P(A;;GA;;;SY)(A;;0x0012019b;;;AU)S:(ML;;NW;;;ME)";

// The profile name of sandbox `n`.
inline std::string ProfileName(unsigned n) {
    char digits[40];
    std::snprintf(digits, sizeof digits, "%032x", n);
    return std::string("Telvo.Sandbox.") + digits;
}

// What one exchange gave each side.
struct Exchange {
    Result<void> served = Fail("not served");
    Result<BrokerReply> reply = Fail("no reply");
};

// The client's sandbox: its Job (a handle of the client process) and the child in it.
struct Sandbox {
    std::string profile;
    Handle job = platform::kNullHandle;  // the client's handle value
    std::shared_ptr<SimProcess> child;
};

struct SandboxOptions {
    std::uint32_t limit_flags = platform::job_limit::kKillOnJobClose;
    // The child's token: a less-privileged AppContainer of the client's user
    // for the profile's package unless changed.
    bool app_container = true;
    bool less_privileged = true;
    std::string package_of_profile{};  // another profile's package; empty: its own
    bool child_in_job = true;
};

struct BrokerServiceHost {
    SimHost host;
    platform::Platform& platform = host.platform();
    SimHelperProcess& client = host.StartHelperProcess();
    BrokerState state;
    UniqueHandle pipe;

    BrokerServiceHost() {
        host.security().SetProcessToken(SimToken::LocalSystem());
        EXPECT_TRUE(offline_network::InstallOfflineLayout(platform));
        state.boot_id = offline_network::ReadBootIdentity(platform.wfp).value();
        state.accepting = true;
        auto created = platform.pipes.CreateNamedPipeW(
            kBrokerPipeName, 0x40080003, platform::pipe_mode::kRejectRemoteClients, 1, 16388, 16388, 0,
            winformat::ParseSddl(kBrokerPipeSddl).value().ToSelfRelative());
        EXPECT_TRUE(created);
        if (created) pipe = UniqueHandle(platform.kernel, *created);
    }

    // Runs `action` as the client process, on the calling thread.
    template <class Action>
    auto AsClient(Action&& action) {
        const auto binding = host.Bind(client);
        return action();
    }

    // The client makes a Job with the options' limits and starts a child in
    // it (or beside it) with the options' token.
    Sandbox MakeSandbox(unsigned n, SandboxOptions options = {}) {
        Sandbox sandbox;
        sandbox.profile = ProfileName(n);
        AsClient([&] {
            sandbox.job = platform.processes.CreateJobObjectW().value();
            std::vector<std::uint8_t> limits(platform::job_layout::kExtendedLimitSize, 0);
            winformat::le::Write32(limits, platform::job_layout::kLimitFlagsOffset, options.limit_flags);
            EXPECT_TRUE(platform.processes.SetInformationJobObject(sandbox.job, platform::job_information::kExtendedLimit,
                                                                    limits));
            const std::string package_profile =
                options.package_of_profile.empty() ? sandbox.profile : options.package_of_profile;
            const auto package = identity::DeriveProfileSid(platform.appcontainer, package_profile).value();
            platform::sim::ProcessBehaviour behaviour;
            if (options.app_container) {
                behaviour.token =
                    SimToken::AppContainerFrom(client.token(), package, {}, options.less_privileged).identity;
            }
            Handle home = sandbox.job;
            Handle elsewhere = platform::kNullHandle;
            if (!options.child_in_job) {
                elsewhere = platform.processes.CreateJobObjectW().value();
                home = elsewhere;
            }
            sandbox.child = host.processes().StartInJob(home, behaviour);
            return 0;
        });
        return sandbox;
    }

    RegisterRequest Register(const Sandbox& sandbox) {
        return RegisterRequest{kProtocolVersion, sandbox.profile, sandbox.child->id(),
                               static_cast<std::uint64_t>(sandbox.job)};
    }
    ReleaseRequest Release(const Sandbox& sandbox, const std::string& lease_id) {
        return ReleaseRequest{kProtocolVersion, sandbox.profile, lease_id, static_cast<std::uint64_t>(sandbox.job)};
    }

    // The client opens the pipe, writes `request` whole and closes its end
    // before the service reads a byte: no other thread acts while it is served.
    void ClientSends(const BrokerRequest& request) {
        AsClient([&] {
            const UniqueHandle end(platform.kernel,
                                   platform.files
                                       .CreateFileW(kBrokerPipeName, platform::kPipeReadWriteNoAppend, 0,
                                                    platform::creation_disposition::kOpenExisting, kBrokerPipeFlags)
                                       .value());
            EXPECT_TRUE(WriteRequestFrame(platform, end.get(), request, PipeDeadline::After(platform, 1000)));
            return 0;
        });
    }

    // One exchange: `process` (the client unless given) opens the pipe,
    // writes `request` and reads the reply; the service serves it here and
    // disconnects.
    Exchange Call(const BrokerRequest& request, SimHelperProcess* process = nullptr) {
        SimHelperProcess& caller = process ? *process : client;
        Exchange exchange;
        // The instance listens before the client comes.
        UniqueHandle event(platform.kernel, platform.pipes.CreateEventW(true, false).value());
        platform::Overlapped connect{0, 0, 0, 0, event.get()};
        auto connecting = platform.pipes.ConnectNamedPipe(pipe.get(), connect);
        const bool pending = !connecting && connecting.error() == SysError::Win32(platform::win32_error::kIoPending);
        std::thread client_thread([&] {
            const auto binding = host.Bind(caller);
            auto opened = platform.files.CreateFileW(kBrokerPipeName, platform::kPipeReadWriteNoAppend, 0,
                                                     platform::creation_disposition::kOpenExisting, kBrokerPipeFlags);
            if (!opened) {
                exchange.reply = FailSys("open", opened.error());
                return;
            }
            const UniqueHandle end(platform.kernel, *opened);
            const PipeDeadline deadline = PipeDeadline::After(platform, 10000);
            if (auto written = WriteRequestFrame(platform, end.get(), request, deadline); !written) {
                exchange.reply = Fail(written.error());
                return;
            }
            exchange.reply = ReadReplyFrame(platform, end.get(), deadline);
        });
        // A fail-fast of the service ends its side at once; the client's
        // thread still finishes before it goes on.
        std::exception_ptr ended;
        try {
            exchange.served = [&]() -> Result<void> {
                if (pending) {
                    auto connected = platform.pipes.GetOverlappedResultEx(pipe.get(), connect, 5000, false);
                    if (!connected) return FailSys("connect", connected.error());
                }
                return ServeBrokerClient(platform, state, pipe.get());
            }();
        } catch (...) {
            ended = std::current_exception();
        }
        (void)platform.pipes.DisconnectNamedPipe(pipe.get());
        client_thread.join();
        if (ended) std::rethrow_exception(ended);
        return exchange;
    }

    // The reply's error message, or "" when it is no error.
    static std::string ErrorOf(const Exchange& exchange) {
        if (!exchange.reply) return "no reply: " + exchange.reply.error().Display();
        if (const auto* error = std::get_if<ErrorResult>(&exchange.reply->result)) return error->message;
        return "";
    }

    // The leases WFP holds.
    std::vector<offline_network::OfflineLease> Leases() {
        auto transaction = offline_network::WfpTransaction::Begin(platform.wfp);
        EXPECT_TRUE(transaction);
        if (!transaction) return {};
        return offline_network::EnumerateOfflineLeases(platform, transaction->engine()).value_or(
            std::vector<offline_network::OfflineLease>{});
    }
};

struct BrokerServiceFixture : ::testing::Test, BrokerServiceHost {};

}  // namespace telvo::network_broker::testing
