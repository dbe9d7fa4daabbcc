// A pipe served by one simulated process and opened by another: the client's
// identity, impersonation, the default descriptor, and the two ends on their
// own OS threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/file_constants.h"
#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/sddl.h"

namespace telvo::platform::sim {
namespace {

const std::u16string kName = u"\\\\.\\pipe\\telvo-sim-served";

struct Served {
    SimHost host;
    Platform& platform = host.platform();
    SimHelperProcess& client_process = host.StartHelperProcess();
    UniqueHandle server;
    UniqueHandle event{platform.kernel, platform.pipes.CreateEventW(true, false).value()};

    Served() {
        host.security().SetProcessToken(SimToken::LocalSystem());
        client_process.SetToken(std::make_shared<const SimToken>(
            SimToken::InteractiveUser(*winformat::Sid::Parse("S-1-5-21-7-8-9-1001"), false, false)));
    }

    // The server process creates the pipe with `descriptor` (the default one when empty).
    void Create(std::vector<std::uint8_t> descriptor = {}) {
        auto created = platform.pipes.CreateNamedPipeW(
            kName, pipe_open_mode::kAccessDuplex | pipe_open_mode::kOverlapped | pipe_open_mode::kFirstPipeInstance,
            pipe_mode::kRejectRemoteClients, 1, 4096, 4096, 0, descriptor);
        ASSERT_TRUE(created) << created.error().code;
        server = UniqueHandle(platform.kernel, *created);
    }
    // The client process opens the pipe with these quality-of-service flags.
    SysResult<Handle> Open(std::uint32_t flags, std::uint32_t access = kPipeReadWriteNoAppend) {
        const auto binding = host.Bind(client_process);
        return platform.files.CreateFileW(kName, access, 0, creation_disposition::kOpenExisting,
                                          file_flag::kOverlapped | flags);
    }
    SysResult<std::uint32_t> Transfer(Handle pipe, std::string& bytes, bool read) {
        Overlapped overlapped{0, 0, 0, 0, event.get()};
        auto span = std::as_writable_bytes(std::span(bytes));
        auto started = read ? platform.pipes.ReadFile(pipe, span, overlapped) : platform.pipes.WriteFile(pipe, span, overlapped);
        if (!started && started.error() != SysError::Win32(win32_error::kIoPending)) return std::unexpected(started.error());
        return platform.pipes.GetOverlappedResultEx(pipe, overlapped, 1000, false);
    }
};

const std::uint32_t kIdentification = security_qos::kSqosPresent | security_qos::kIdentification;

// A pipe the client's user may read and write.
std::vector<std::uint8_t> OpenToTheClient() {
    return winformat::ParseSddl("O:SYG:SYD:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-7-8-9-1001)").value().ToSelfRelative();
}

TEST(SimPipeServerTest, TheServerLearnsTheClientsProcessAndImpersonatesItOnlyAfterARead) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create(OpenToTheClient()));
    auto opened = served.Open(kIdentification);
    ASSERT_TRUE(opened) << opened.error().code;
    EXPECT_EQ(served.platform.pipes.GetNamedPipeClientProcessId(served.server.get()).value(),
              served.client_process.id());
    EXPECT_EQ(served.platform.pipes.ImpersonateNamedPipeClient(served.server.get()).error(),
              SysError::Win32(win32_error::kCannotImpersonate));
    {
        const auto binding = served.host.Bind(served.client_process);
        std::string request = "hello";
        auto moved = served.Transfer(*opened, request, false);
        ASSERT_TRUE(moved) << moved.error().code;
    }
    std::string arrived(5, '\0');
    ASSERT_EQ(served.Transfer(served.server.get(), arrived, true).value(), 5u);
    ASSERT_TRUE(served.platform.pipes.ImpersonateNamedPipeClient(served.server.get()));
    auto token = served.platform.security.OpenThreadToken(token_access::kQuery, true);
    ASSERT_TRUE(token);
    UniqueHandle token_guard(served.platform.kernel, *token);
    auto held = served.host.handles().FindAs<SimTokenHandle>(*token);
    EXPECT_EQ(held->token().identity.user, served.client_process.token().identity.user);
    EXPECT_EQ(held->token().impersonation_level, impersonation_level::kIdentification);
    EXPECT_EQ(held->token().type, token_type::kImpersonation);
    ASSERT_TRUE(served.platform.security.RevertToSelf());
    EXPECT_FALSE(served.host.security().ThreadImpersonates());
}

TEST(SimPipeServerTest, AnAnonymousClientsTokenCannotBeOpened) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create(OpenToTheClient()));
    auto opened = served.Open(security_qos::kSqosPresent | security_qos::kAnonymous);
    ASSERT_TRUE(opened) << opened.error().code;
    {
        const auto binding = served.host.Bind(served.client_process);
        std::string request = "x";
        auto moved = served.Transfer(*opened, request, false);
        ASSERT_TRUE(moved) << moved.error().code;
    }
    std::string arrived(1, '\0');
    ASSERT_TRUE(served.Transfer(served.server.get(), arrived, true));
    ASSERT_TRUE(served.platform.pipes.ImpersonateNamedPipeClient(served.server.get()));
    EXPECT_EQ(served.platform.security.OpenThreadToken(token_access::kQuery, true).error(),
              SysError::Win32(win32_error::kCantOpenAnonymous));
    ASSERT_TRUE(served.platform.security.RevertToSelf());
}

TEST(SimPipeServerTest, TheDefaultDescriptorLetsAnotherUserOnlyRead) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create());
    EXPECT_EQ(served.Open(kIdentification).error(), SysError::Win32(win32_error::kAccessDenied));
    EXPECT_TRUE(served.Open(kIdentification, file_access::kGenericRead));
}

TEST(SimPipeServerTest, EndsOnTheirOwnThreadsWaitForEachOther) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create(OpenToTheClient()));
    std::string answer;
    std::thread client([&] {
        const auto binding = served.host.Bind(served.client_process);
        auto opened = served.platform.files.CreateFileW(kName, kPipeReadWriteNoAppend, 0,
                                                        creation_disposition::kOpenExisting,
                                                        file_flag::kOverlapped | kIdentification);
        if (!opened) return;
        UniqueHandle pipe(served.platform.kernel, *opened);
        UniqueHandle event(served.platform.kernel, served.platform.pipes.CreateEventW(true, false).value());
        std::string request = "ping";
        Overlapped write{0, 0, 0, 0, event.get()};
        (void)served.platform.pipes.WriteFile(pipe.get(), std::as_bytes(std::span(request)), write);
        (void)served.platform.pipes.GetOverlappedResultEx(pipe.get(), write, 1000, false);
        answer.assign(4, '\0');
        Overlapped read{0, 0, 0, 0, event.get()};
        (void)served.platform.pipes.ReadFile(pipe.get(), std::as_writable_bytes(std::span(answer)), read);
        auto moved = served.platform.pipes.GetOverlappedResultEx(pipe.get(), read, 5000, false);
        if (!moved) answer = "failed";
    });
    Overlapped connect{0, 0, 0, 0, served.event.get()};
    auto connecting = served.platform.pipes.ConnectNamedPipe(served.server.get(), connect);
    if (!connecting && connecting.error() == SysError::Win32(win32_error::kIoPending)) {
        EXPECT_TRUE(served.platform.pipes.GetOverlappedResultEx(served.server.get(), connect, 5000, false));
    }
    std::string request(4, '\0');
    EXPECT_EQ(served.Transfer(served.server.get(), request, true).value_or(0), 4u);
    EXPECT_EQ(request, "ping");
    std::string reply = "pong";
    EXPECT_TRUE(served.Transfer(served.server.get(), reply, false));
    // The client reads the reply and closes its end: the server's read breaks.
    std::string more(1, '\0');
    EXPECT_EQ(served.Transfer(served.server.get(), more, true).error(), SysError::Win32(win32_error::kBrokenPipe));
    client.join();
    EXPECT_EQ(answer, "pong");
    ASSERT_TRUE(served.platform.pipes.DisconnectNamedPipe(served.server.get()));
}

// A service's idle serve loop runs beside its clients: its wait for one
// that does not come leaves the virtual clock to them.
TEST(SimPipeServerTest, AnIdleServersWaitForAClientDoesNotMoveTheClock) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create(OpenToTheClient()));
    Overlapped connect{0, 0, 0, 0, served.event.get()};
    ASSERT_EQ(served.platform.pipes.ConnectNamedPipe(served.server.get(), connect).error(),
              SysError::Win32(win32_error::kIoPending));
    const std::uint64_t before = served.host.clock().Now();
    EXPECT_EQ(served.platform.pipes.GetOverlappedResultEx(served.server.get(), connect, 500, false).error(),
              SysError::Win32(win32_error::kWaitTimeout));
    EXPECT_EQ(served.host.clock().Now(), before);
    // A client that comes later is still taken.
    auto opened = served.Open(kIdentification);
    ASSERT_TRUE(opened);
    UniqueHandle client(served.platform.kernel, *opened);
    EXPECT_TRUE(served.platform.pipes.GetOverlappedResultEx(served.server.get(), connect, 500, false));
}

// A serve loop that listens again while a client takes its one instance
// (its connect wait ended and it calls ConnectNamedPipe anew): the taken
// instance is offered to no other client, neither now nor after the server
// disconnected it.
TEST(SimPipeServerTest, AnInstanceAClientTookIsNotListedAgain) {
    Served served;
    ASSERT_NO_FATAL_FAILURE(served.Create(OpenToTheClient()));
    constexpr int kRounds = 300;
    // Each side gives up on the other after this long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto in_time = [&] { return std::chrono::steady_clock::now() < deadline; };
    std::atomic<int> checked{0};
    std::atomic<bool> stop{false};
    std::atomic<int> second_clients{0};
    std::atomic<bool> client_done{false};
    std::thread client([&] {
        struct Done {
            std::atomic<bool>& flag;
            ~Done() { flag.store(true); }
        } done{client_done};
        for (int round = 0; round < kRounds && !stop.load(); ++round) {
            SysResult<Handle> first = served.Open(kIdentification);
            while (!first && in_time() && !stop.load()) {
                first = served.Open(kIdentification);
            }
            if (!first) return;
            SysResult<Handle> second = served.Open(kIdentification);
            const auto binding = served.host.Bind(served.client_process);
            if (second) {
                ++second_clients;
                (void)served.platform.kernel.CloseHandle(*second);
            }
            (void)served.platform.kernel.CloseHandle(*first);
            checked.store(round + 1);
        }
    });
    int served_rounds = 0;
    for (; served_rounds < kRounds; ++served_rounds) {
        bool connected = false;
        while (!connected && in_time()) {
            UniqueHandle event(served.platform.kernel, served.platform.pipes.CreateEventW(true, false).value());
            Overlapped connect{0, 0, 0, 0, event.get()};
            auto started = served.platform.pipes.ConnectNamedPipe(served.server.get(), connect);
            connected = !started && started.error() == SysError::Win32(win32_error::kPipeConnected);
            if (connected) break;
            (void)served.platform.pipes.CancelIoEx(served.server.get(), connect);
            connected = served.platform.pipes.GetOverlappedResultEx(served.server.get(), connect, 0, false).has_value();
        }
        if (!connected) break;
        while (checked.load() <= served_rounds && !client_done.load()) std::this_thread::yield();
        if (checked.load() <= served_rounds) break;
        ASSERT_TRUE(served.platform.pipes.DisconnectNamedPipe(served.server.get()));
    }
    stop.store(true);
    client.join();
    EXPECT_EQ(served_rounds, kRounds);
    EXPECT_EQ(second_clients.load(), 0);
}

}  // namespace
}  // namespace telvo::platform::sim
