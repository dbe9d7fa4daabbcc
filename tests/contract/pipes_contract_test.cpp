#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "platform/file_constants.h"
#include "platform/pipes.h"
#include "platform/security.h"
#include "platform/types.h"
#include "platform/unique_handle.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {
namespace {

using namespace platform;

constexpr std::uint32_t kClientFlags = file_flag::kOverlapped | security_qos::kSqosPresent | security_qos::kIdentification;

// A pipe name of its own per use: instances of earlier tests may linger.
std::u16string PipeName() {
    static std::atomic<int> counter{0};
    const std::string leaf = "telvo-contract-pipe-" + std::to_string(counter++);
    return u"\\\\.\\pipe\\" + std::u16string(leaf.begin(), leaf.end());
}

std::string Frame(const std::string& text) {
    const auto length = static_cast<std::uint32_t>(text.size());
    return std::string{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8), 0, 0} + text;
}

SysResult<Handle> OpenClient(Platform& platform, const std::u16string& name) {
    return platform.files.CreateFileW(name, kPipeReadWriteNoAppend, 0, creation_disposition::kOpenExisting, kClientFlags);
}

// One overlapped operation, started and collected with a fresh event.
struct Operation {
    Platform& platform;
    Handle pipe;
    UniqueHandle event{platform.kernel, platform.pipes.CreateEventW(true, false).value()};
    Overlapped overlapped{0, 0, 0, 0, event.get()};
};

// Moves the whole buffer, waiting up to 5 s for each piece.
std::uint32_t TransferAll(Platform& platform, Handle pipe, std::span<std::byte> buffer, bool read) {
    std::uint32_t done = 0;
    while (done < buffer.size()) {
        Operation operation{platform, pipe};
        auto started = read ? platform.pipes.ReadFile(pipe, buffer.subspan(done), operation.overlapped)
                            : platform.pipes.WriteFile(pipe, buffer.subspan(done), operation.overlapped);
        if (!started && started.error() != SysError::Win32(win32_error::kIoPending)) return done;
        auto moved = platform.pipes.GetOverlappedResultEx(pipe, operation.overlapped, 5000, false);
        if (!moved || *moved == 0) return done;
        done += *moved;
    }
    return done;
}

TEST(PipesContract, AnUnknownPipeIsNotFound) {
    auto host = MakeContractHost();
    auto opened = OpenClient(host->platform(), PipeName());
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), SysError::Win32(win32_error::kFileNotFound));
    EXPECT_EQ(host->platform().pipes.WaitNamedPipeW(PipeName(), 10).error(), SysError::Win32(win32_error::kFileNotFound));
}

TEST(PipesContract, OneFrameEachWayOverlappedThenTheServerIsGone) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    const std::string reply = Frame(R"({"kind":"released"})");
    auto served = host->ServePipe(name, reply);
    ASSERT_TRUE(served);
    ASSERT_TRUE(platform.pipes.WaitNamedPipeW(name, 5000));
    auto opened = OpenClient(platform, name);
    ASSERT_TRUE(opened) << opened.error().code;
    UniqueHandle pipe(platform.kernel, *opened);

    auto server_id = platform.pipes.GetNamedPipeServerProcessId(pipe.get());
    ASSERT_TRUE(server_id);
    EXPECT_EQ(*server_id, served->server_process_id);
    auto owner = platform.security.GetSecurityInfo(pipe.get(), se_object_type::kKernelObject, security_information::kOwner);
    ASSERT_TRUE(owner) << owner.error().code;
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(*owner);
    ASSERT_TRUE(descriptor);
    // Windows reports the creator's owner; Wine leaves a pipe's owner out.
    if (descriptor->owner || std::string(host->name()) != "win32") {
        ASSERT_TRUE(descriptor->owner);
        EXPECT_EQ(descriptor->owner->ToString(), served->owner.ToString());
    }

    std::string request = Frame(R"({"operation":"status","protocolVersion":1})");
    EXPECT_EQ(TransferAll(platform, pipe.get(), std::as_writable_bytes(std::span(request)), false), request.size());
    std::string received(reply.size(), '\0');
    EXPECT_EQ(TransferAll(platform, pipe.get(), std::as_writable_bytes(std::span(received)), true), reply.size());
    EXPECT_EQ(received, reply);

    // The server has closed its end: nothing more arrives.
    std::byte extra[1];
    Operation operation{platform, pipe.get()};
    auto started = platform.pipes.ReadFile(pipe.get(), extra, operation.overlapped);
    SysError error = started ? SysError{} : started.error();
    if (error == SysError::Win32(win32_error::kIoPending)) {
        auto moved = platform.pipes.GetOverlappedResultEx(pipe.get(), operation.overlapped, 5000, false);
        ASSERT_FALSE(moved);
        error = moved.error();
    }
    EXPECT_EQ(error, SysError::Win32(win32_error::kBrokenPipe));
}

TEST(PipesContract, APendingReadTimesOutIsCancelledAndIsCollectedOnce) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    ASSERT_TRUE(host->ServePipe(name, "never sent"));
    ASSERT_TRUE(platform.pipes.WaitNamedPipeW(name, 5000));
    auto opened = OpenClient(platform, name);
    ASSERT_TRUE(opened);
    UniqueHandle pipe(platform.kernel, *opened);

    std::byte buffer[4];
    Operation operation{platform, pipe.get()};
    auto started = platform.pipes.ReadFile(pipe.get(), buffer, operation.overlapped);
    ASSERT_FALSE(started);
    EXPECT_EQ(started.error(), SysError::Win32(win32_error::kIoPending));
    EXPECT_EQ(platform.pipes.GetOverlappedResultEx(pipe.get(), operation.overlapped, 0, false).error(),
              SysError::Win32(win32_error::kIoIncomplete));
    EXPECT_EQ(platform.pipes.GetOverlappedResultEx(pipe.get(), operation.overlapped, 50, false).error(),
              SysError::Win32(win32_error::kWaitTimeout));
    EXPECT_TRUE(platform.pipes.CancelIoEx(pipe.get(), operation.overlapped));
    EXPECT_EQ(platform.pipes.GetOverlappedResultEx(pipe.get(), operation.overlapped, 5000, false).error(),
              SysError::Win32(win32_error::kOperationAborted));
    // Nothing is left to cancel.
    EXPECT_EQ(platform.pipes.CancelIoEx(pipe.get(), operation.overlapped).error(), SysError::Win32(win32_error::kNotFound));
}

TEST(PipesContract, ABusyPipeRefusesTheNextClientAndItsWaitTimesOut) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    ASSERT_TRUE(host->ServePipe(name, "x"));
    ASSERT_TRUE(platform.pipes.WaitNamedPipeW(name, 5000));
    auto first = OpenClient(platform, name);
    ASSERT_TRUE(first);
    UniqueHandle first_pipe(platform.kernel, *first);

    auto second = OpenClient(platform, name);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), SysError::Win32(win32_error::kPipeBusy));
    EXPECT_EQ(platform.pipes.WaitNamedPipeW(name, 100).error(), SysError::Win32(win32_error::kSemTimeout));
}

constexpr std::uint32_t kServerOpenMode = pipe_open_mode::kAccessDuplex | pipe_open_mode::kOverlapped;
constexpr std::uint32_t kServerPipeMode = pipe_mode::kTypeByte | pipe_mode::kRejectRemoteClients;

SysResult<Handle> CreateServer(Platform& platform, const std::u16string& name, std::uint32_t extra_open_mode = 0,
                               std::uint32_t max_instances = 1) {
    return platform.pipes.CreateNamedPipeW(name, kServerOpenMode | extra_open_mode, kServerPipeMode, max_instances,
                                           4096, 4096, 0, {});
}

// A server instance and the client end connected to it.
struct Connected {
    UniqueHandle server;
    UniqueHandle client;
};
std::optional<Connected> Connect(Platform& platform, const std::u16string& name) {
    auto created = CreateServer(platform, name);
    if (!created) return std::nullopt;
    Connected ends{UniqueHandle(platform.kernel, *created), {}};
    auto opened = OpenClient(platform, name);
    if (!opened) return std::nullopt;
    ends.client = UniqueHandle(platform.kernel, *opened);
    return ends;
}

// Moves the whole string through `pipe`: the bytes moved.
std::uint32_t Move(Platform& platform, Handle pipe, std::string& bytes, bool read) {
    return TransferAll(platform, pipe, std::as_writable_bytes(std::span(bytes)), read);
}

// The error a read on `pipe` ends with, waiting up to 5 s.
SysError ReadError(Platform& platform, Handle pipe) {
    std::byte buffer[16];
    Operation operation{platform, pipe};
    auto started = platform.pipes.ReadFile(pipe, buffer, operation.overlapped);
    if (started) return SysError{};
    if (started.error() != SysError::Win32(win32_error::kIoPending)) return started.error();
    auto moved = platform.pipes.GetOverlappedResultEx(pipe, operation.overlapped, 5000, false);
    return moved ? SysError{} : moved.error();
}

TEST(PipesContract, TheFirstInstanceFlagAndTheInstanceLimitAreHonoured) {
    auto host = MakeContractHost();
    if (std::string(host->name()) == "win32") {
        GTEST_SKIP() << "Wine answers an instance limit, a second first instance and one instance too many otherwise";
    }
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    EXPECT_EQ(CreateServer(platform, name, 0, 256).error(), SysError::Win32(win32_error::kInvalidParameter));
    auto first = CreateServer(platform, name, pipe_open_mode::kFirstPipeInstance);
    ASSERT_TRUE(first) << first.error().code;
    UniqueHandle server(platform.kernel, *first);
    EXPECT_EQ(CreateServer(platform, name, pipe_open_mode::kFirstPipeInstance).error(),
              SysError::Win32(win32_error::kAccessDenied));
    EXPECT_EQ(CreateServer(platform, name).error(), SysError::Win32(win32_error::kPipeBusy));
}

TEST(PipesContract, AServerInstanceExchangesBytesWithItsClientAndSeesItLeave) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    auto created = CreateServer(platform, name, pipe_open_mode::kFirstPipeInstance);
    ASSERT_TRUE(created) << created.error().code;
    UniqueHandle server(platform.kernel, *created);

    // The client came before ConnectNamedPipe.
    auto opened = OpenClient(platform, name);
    ASSERT_TRUE(opened) << opened.error().code;
    UniqueHandle client(platform.kernel, *opened);
    Operation connect{platform, server.get()};
    EXPECT_EQ(platform.pipes.ConnectNamedPipe(server.get(), connect.overlapped).error(),
              SysError::Win32(win32_error::kPipeConnected));
    auto client_id = platform.pipes.GetNamedPipeClientProcessId(server.get());
    auto server_id = platform.pipes.GetNamedPipeServerProcessId(client.get());
    ASSERT_TRUE(client_id && server_id);
    EXPECT_EQ(*client_id, *server_id);  // one process holds both ends

    std::string request = Frame("request");
    EXPECT_EQ(Move(platform, client.get(), request, false), request.size());
    std::string arrived(request.size(), '\0');
    EXPECT_EQ(Move(platform, server.get(), arrived, true), request.size());
    EXPECT_EQ(arrived, request);
    std::string reply = Frame("reply");
    EXPECT_EQ(Move(platform, server.get(), reply, false), reply.size());
    std::string answered(reply.size(), '\0');
    EXPECT_EQ(Move(platform, client.get(), answered, true), reply.size());
    EXPECT_EQ(answered, reply);

    client.reset();
    EXPECT_EQ(ReadError(platform, server.get()), SysError::Win32(win32_error::kBrokenPipe));
}

TEST(PipesContract, APendingConnectEndsWhenAClientOpens) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    auto created = CreateServer(platform, name);
    ASSERT_TRUE(created);
    UniqueHandle server(platform.kernel, *created);
    Operation connect{platform, server.get()};
    EXPECT_EQ(platform.pipes.ConnectNamedPipe(server.get(), connect.overlapped).error(),
              SysError::Win32(win32_error::kIoPending));
    EXPECT_EQ(platform.pipes.GetOverlappedResultEx(server.get(), connect.overlapped, 0, false).error(),
              SysError::Win32(win32_error::kIoIncomplete));
    auto opened = OpenClient(platform, name);
    ASSERT_TRUE(opened);
    UniqueHandle client(platform.kernel, *opened);
    EXPECT_TRUE(platform.pipes.GetOverlappedResultEx(server.get(), connect.overlapped, 5000, false));
}

TEST(PipesContract, DisconnectingDiscardsWhatTheClientHasNotRead) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    auto ends = Connect(platform, PipeName());
    ASSERT_TRUE(ends);
    std::string reply = Frame("lost");
    EXPECT_EQ(Move(platform, ends->server.get(), reply, false), reply.size());
    ASSERT_TRUE(platform.pipes.DisconnectNamedPipe(ends->server.get()));
    EXPECT_EQ(ReadError(platform, ends->client.get()), SysError::Win32(win32_error::kPipeNotConnected));
}

TEST(PipesContract, TheNameGoesWithItsLastInstance) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    const std::u16string name = PipeName();
    auto created = CreateServer(platform, name);
    ASSERT_TRUE(created);
    (void)platform.kernel.CloseHandle(*created);
    auto opened = OpenClient(platform, name);
    ASSERT_FALSE(opened);
    EXPECT_EQ(opened.error(), SysError::Win32(win32_error::kFileNotFound));
}

TEST(PipesContract, TheServerImpersonatesItsClientAfterReadingAndReverts) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    auto ends = Connect(platform, PipeName());
    ASSERT_TRUE(ends);
    std::string request = Frame("who");
    EXPECT_EQ(Move(platform, ends->client.get(), request, false), request.size());
    std::string arrived(request.size(), '\0');
    EXPECT_EQ(Move(platform, ends->server.get(), arrived, true), request.size());

    ASSERT_TRUE(platform.pipes.ImpersonateNamedPipeClient(ends->server.get()));
    // The client asked for identification: the token opens only as the
    // process (Wine opens it either way).
    if (std::string(host->name()) != "win32") {
        EXPECT_EQ(platform.security.OpenThreadToken(token_access::kQuery, false).error(),
                  SysError::Win32(win32_error::kBadImpersonationLevel));
    }
    auto token = platform.security.OpenThreadToken(token_access::kQuery, true);
    ASSERT_TRUE(token) << token.error().code;
    (void)platform.kernel.CloseHandle(*token);
    ASSERT_TRUE(platform.security.RevertToSelf());
    EXPECT_EQ(platform.security.OpenThreadToken(token_access::kQuery, true).error(),
              SysError::Win32(win32_error::kNoToken));
}

}  // namespace
}  // namespace telvo::contract
