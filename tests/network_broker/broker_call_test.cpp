#include "support/forwarding_security.h"
#include "support/platform_with.h"
#include "network_broker/broker_call.h"

#include <gtest/gtest.h>

#include "network_broker/broker_test_host.h"

namespace telvo::network_broker {
namespace {

using namespace testing;
using platform::sim::SimFailFast;

const RegisteredResult kRegistered{"6f1c1f1e-3d1c-4a3e-9c55-0f0e5a7d2b11", {11, 12, 13, 14}};
const StatusRequest kStatus{};

std::string Message(const Result<BrokerReply>& result) { return result ? "ok" : result.error().Display(); }

TEST(BrokerCall, ProvesThePipeThenWritesOneCompactFrameAndReturnsTheWholeReply) {
    BrokerTestHost broker;
    auto server = broker.ServeResult(kRegistered);
    broker.host.faults().Watch("CreateFileW");
    const std::size_t handles = broker.OpenHandles();

    auto reply = CallBroker(broker.platform(), RegisterRequest{1, "Telvo.Sandbox.0123", 7001, 0x1A4});
    ASSERT_TRUE(reply) << reply.error().Display();
    EXPECT_EQ(*reply, (BrokerReply{1, 1, kServicePid, kRegistered}));
    EXPECT_EQ(server->received(),
              Frame(R"({"operation":"register","protocolVersion":1,"profileName":"Telvo.Sandbox.0123",)"
                    R"("processId":7001,"jobHandle":420})"));
    // Read and write without append; overlapped, identification-only.
    EXPECT_EQ(server->client_access(), 0x0012019Bu);
    EXPECT_EQ(server->client_flags(), 0x40110000u);
    // One open of the pipe: no sharing, OPEN_EXISTING, exactly these flags.
    int pipe_opens = 0;
    for (const auto& call : broker.host.faults().Log()) {
        if (call.arguments.at(0) != 0x0012019B) continue;
        ++pipe_opens;
        EXPECT_EQ(call.arguments, (std::vector<std::uint64_t>{0x0012019B, 0, 3, 0x40110000}));
    }
    EXPECT_EQ(pipe_opens, 1);
    EXPECT_EQ(broker.OpenHandles(), handles);
}

TEST(BrokerCall, FrameLengthBoundsOnTheReply) {
    const std::string reply = ReplyText(StatusResult{2, 3});
    {
        // 16384 bytes: the JSON value, then whitespace up to the bound.
        BrokerTestHost broker;
        std::string padded = reply + std::string(16384 - reply.size(), ' ');
        padded[16383] = '\n';
        broker.Serve(Frame(padded));
        auto result = CallBroker(broker.platform(), kStatus);
        ASSERT_TRUE(result) << result.error().Display();
        EXPECT_EQ(result->result, BrokerResult(StatusResult{2, 3}));
    }
    for (const std::uint32_t length : {0u, 16385u}) {
        BrokerTestHost broker;
        const char prefix[4] = {static_cast<char>(length & 0xFF), static_cast<char>(length >> 8), 0, 0};
        // Valid JSON follows, which must not be read.
        broker.Serve(std::string(prefix, 4) + reply);
        broker.host.faults().Watch("ReadFile(overlapped)");
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "invalid network broker frame length") << length;
        EXPECT_EQ(broker.host.faults().Log().size(), 1u) << "only the length was read";
    }
}

TEST(BrokerCall, RequestOverTheFrameBoundIsNeverWritten) {
    BrokerTestHost broker;
    auto server = broker.ServeResult(RecoveredResult{});
    const std::string huge(16384, 'p');
    EXPECT_EQ(Message(CallBroker(broker.platform(), RecoverRequest{1, huge})), "network broker reply exceeds frame bound");
    EXPECT_EQ(server->received(), "");
}

TEST(BrokerCall, ReplyJsonMustStandAloneInItsFrame) {
    for (const std::string& trailer : {std::string("x"), std::string(" {}"), std::string("\0", 1)}) {
        BrokerTestHost broker;
        broker.Serve(Frame(ReplyText(RecoveredResult{}) + trailer));
        auto result = CallBroker(broker.platform(), kStatus);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "invalid network broker JSON");
        EXPECT_GE(result.error().chain().size(), 2u);
    }
    BrokerTestHost broker;
    broker.Serve(Frame(ReplyText(RecoveredResult{}) + " \t\r\n"));
    EXPECT_TRUE(CallBroker(broker.platform(), kStatus));
}

TEST(BrokerCall, ReplyIdentityAndVersionsAreChecked) {
    struct Case {
        std::string text;
    };
    const std::vector<Case> cases{
        {ReplyText(kRegistered, kServicePid + 4)},
        {ReplyText(kRegistered, kServicePid, 2)},
        {EncodeBrokerReply(BrokerReply{2, 1, kServicePid, kRegistered}).value()},
    };
    for (const Case& c : cases) {
        BrokerTestHost broker;
        broker.Serve(Frame(c.text));
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "network broker reply identity/version mismatch")
            << c.text;
    }
    BrokerTestHost broker;
    broker.ServeResult(ErrorResult{"offline-network lease capacity reached; refusing unprotected execution"});
    EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
              "offline-network broker: offline-network lease capacity reached; refusing unprotected execution");
}

TEST(BrokerCall, PipeNotOwnedByLocalSystemIsNeverWrittenTo) {
    struct Case {
        std::vector<std::uint8_t> descriptor;
        std::string message;
    };
    const std::vector<Case> cases{
        {PipeDescriptor(OtherUser()), "network pipe is not owned by LocalSystem"},
        {PipeDescriptor(wk::Administrators()), "network pipe is not owned by LocalSystem"},
    };
    for (const Case& c : cases) {
        BrokerTestHost broker;
        PipeServerScript script;
        script.security_descriptor = c.descriptor;
        auto server = broker.Serve(Frame(ReplyText(RecoveredResult{})), script);
        const std::size_t handles = broker.OpenHandles();
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), c.message);
        EXPECT_TRUE(server->connected());
        EXPECT_EQ(server->received(), "");
        EXPECT_EQ(broker.OpenHandles(), handles);
    }
    BrokerTestHost broker;
    broker.ServeResult(RecoveredResult{});
    // The first query reads the directory's and the image's descriptors.
    broker.host.faults().FailOn("GetSecurityInfo", 3, SysError::Win32(5));
    EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "GetSecurityInfo(network pipe owner) failed with Win32 5");
}

// Windows gives every pipe an owner; a descriptor without one can only come
// from a backend that misreports, and is refused as such.
class OwnerlessPipe final : public telvo::testing::ForwardingSecurity {
public:
    using ForwardingSecurity::ForwardingSecurity;

    SysResult<std::vector<std::uint8_t>> GetSecurityInfo(platform::Handle h, std::uint32_t t, std::uint32_t i) override {
        auto descriptor = inner_.GetSecurityInfo(h, t, i);
        if (!descriptor || t != platform::se_object_type::kKernelObject) return descriptor;
        winformat::SecurityDescriptor ownerless;
        return ownerless.ToSelfRelative();
    }
};

TEST(BrokerCall, PipeWithoutAnOwnerIsNeverWrittenTo) {
    BrokerTestHost broker;
    auto server = broker.ServeResult(RecoveredResult{});
    OwnerlessPipe security(broker.platform().security);
    platform::Platform scripted = telvo::testing::PlatformWith(broker.platform(), {.security = &security});
    EXPECT_EQ(Message(CallBroker(scripted, kStatus)), "network pipe has no valid owner descriptor");
    EXPECT_EQ(server->received(), "");
}

TEST(BrokerCall, PipeServedByAnotherProcessThanTheServiceIsRefused) {
    {
        // A squatter: the pipe's server is not the running service.
        BrokerTestHost broker;
        PipeServerScript script;
        script.server_process_id = kServicePid + 100;
        auto server = broker.Serve(Frame(ReplyText(RecoveredResult{}, kServicePid + 100)), script);
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
                  "network pipe identity changed or differs from the protected running service");
        EXPECT_EQ(server->received(), "");
    }
    {
        // The service restarted as another process between the two queries.
        BrokerTestHost broker;
        auto server = broker.ServeResult(RecoveredResult{});
        broker.host.faults().OnCall("QueryServiceStatusEx", 2, [&] { broker.service().status.process_id = 990; });
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
                  "network pipe identity changed or differs from the protected running service");
        EXPECT_EQ(server->received(), "");
    }
    {
        // The service restarted between the first query and the connect: the
        // pipe and the second query agree on the new process, the first
        // query named the old one.
        BrokerTestHost broker;
        auto server = broker.ServeResult(RecoveredResult{});
        broker.service().status.process_id = 990;
        broker.host.faults().OnCall("QueryServiceStatusEx", 2, [&] { broker.service().status.process_id = kServicePid; });
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
                  "network pipe identity changed or differs from the protected running service");
        EXPECT_EQ(server->received(), "");
    }
    {
        // The machine's Program Files moved between the queries, and with it
        // the service's image.
        BrokerTestHost broker;
        auto server = broker.ServeResult(RecoveredResult{});
        (void)broker.host.files().MakeDirectory(u"C:\\Apps");
        (void)broker.host.files().MakeDirectory(u"C:\\Apps\\TelvoOfflineNetwork");
        (void)broker.host.files().MakeFile(u"C:\\Apps\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe", "MZ");
        (void)broker.host.files().SetSecurityDescriptor(u"C:\\Apps\\TelvoOfflineNetwork", ProgramFilesDescriptor());
        (void)broker.host.files().SetSecurityDescriptor(u"C:\\Apps\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe",
                                                        ProgramFilesDescriptor());
        broker.host.faults().OnCall("GetNamedPipeServerProcessId", 1, [&] {
            broker.host.system().registry().Set(u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", u"ProgramFilesDir",
                                                platform::registry_type::kSz,
                                                platform::sim::RegistryStringBytes(u"C:\\Apps\0"));
            broker.service().config.binary_path_name =
                u"\"C:\\Apps\\TelvoOfflineNetwork\\telvo-windows-sandbox.exe\" --network-service";
        });
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
                  "network pipe identity changed or differs from the protected running service");
        EXPECT_EQ(server->received(), "");
    }
}

TEST(BrokerCall, ServiceImageStaysPinnedWhileTheCallRuns) {
    BrokerTestHost broker;
    broker.ServeResult(RecoveredResult{});
    std::optional<SysResult<void>> replaced;
    broker.host.faults().OnCall("WriteFile(overlapped)", 1, [&] {
        replaced = broker.host.files().Rename(kImagePath, u"C:\\Program Files\\TelvoOfflineNetwork\\old.exe");
    });
    ASSERT_TRUE(CallBroker(broker.platform(), kStatus));
    ASSERT_TRUE(replaced.has_value());
    EXPECT_FALSE(*replaced) << "the image was renamed while pinned";
    EXPECT_TRUE(broker.host.files().Rename(kImagePath, u"C:\\Program Files\\TelvoOfflineNetwork\\old.exe"));
}

TEST(BrokerCall, BusyPipeEndsWithinTheDeadline) {
    {
        // An instance frees every 500 ms and another client takes it each time.
        BrokerTestHost broker;
        broker.host.pipes().AddBusyPipe(kBrokerPipeName, 500);
        const std::uint64_t began = broker.host.clock().Now();
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "offline-network pipe deadline expired");
        EXPECT_LE(broker.host.clock().Now() - began, 10000u);
        EXPECT_EQ(broker.host.faults().Count("WaitNamedPipeW"), 20u);
    }
    {
        // The pipe never frees: the one wait is bounded by what is left.
        BrokerTestHost broker;
        broker.host.pipes().AddBusyPipe(kBrokerPipeName, std::nullopt);
        broker.host.faults().Watch("WaitNamedPipeW");
        const std::uint64_t began = broker.host.clock().Now();
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "WaitNamedPipeW(network broker) failed with Win32 error 121");
        EXPECT_EQ(broker.host.clock().Now() - began, 10000u);
        EXPECT_EQ(broker.host.faults().Log().front().arguments, (std::vector<std::uint64_t>{10000}));
    }
}

TEST(BrokerCall, ServerThatNeverAnswersEndsTheCallAtItsDeadline) {
    BrokerTestHost broker;
    PipeServerScript script;
    script.never_answers = true;
    auto server = broker.Serve("", script);
    const std::size_t handles = broker.OpenHandles();
    const std::uint64_t began = broker.host.clock().Now();
    EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
              "GetOverlappedResultEx(network pipe) failed with Win32 error 258");
    // The wait took what was left of the 10 s; the cancelled read was collected at once.
    EXPECT_EQ(broker.host.clock().Now() - began, 10000u);
    EXPECT_EQ(broker.host.faults().Count("CancelIoEx"), 1u);
    EXPECT_EQ(broker.OpenHandles(), handles);
    EXPECT_EQ(server->received(), Frame(R"({"operation":"status","protocolVersion":1})"));
}

// The deadline passes while a chunk starts: the wait for it is 1 ms, never
// 0, and the next chunk is not begun.
TEST(BrokerCall, AChunkStartedAtTheDeadlineIsWaitedForOneMillisecond) {
    BrokerTestHost broker;
    auto server = broker.ServeResult(RecoveredResult{});
    broker.host.faults().Watch("GetOverlappedResultEx");
    const std::uint64_t reads = broker.host.faults().Count("ReadFile(overlapped)");
    broker.host.faults().OnCall("ReadFile(overlapped)", reads + 1,
                                [&] { broker.host.clock().Advance(kBrokerCallDeadlineMs); });
    EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "offline-network pipe deadline expired");
    const auto log = broker.host.faults().Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().arguments, (std::vector<std::uint64_t>{1, 0}));
    EXPECT_EQ(broker.host.faults().Count("ReadFile(overlapped)"), reads + 1);
}

TEST(BrokerCall, ReplyInManySmallLatePiecesIsReadWithAFreshEventPerPiece) {
    BrokerTestHost broker;
    const std::string frame = Frame(ReplyText(StatusResult{4, 1}));
    std::vector<PipeChunk> chunks;
    for (std::size_t i = 0; i < frame.size(); i += 3) chunks.push_back({100, frame.substr(i, 3)});
    broker.ServeChunks(chunks);
    broker.host.faults().Watch("GetOverlappedResultEx");
    const std::size_t handles = broker.OpenHandles();
    auto reply = CallBroker(broker.platform(), kStatus);
    ASSERT_TRUE(reply) << reply.error().Display();
    EXPECT_EQ(reply->result, BrokerResult(StatusResult{4, 1}));
    // Two writes, and a read per piece (the piece that holds the end of the
    // length is read in two); each its own event.
    EXPECT_EQ(broker.host.faults().Count("ReadFile(overlapped)"), chunks.size() + 1);
    EXPECT_EQ(broker.host.faults().Count("CreateEventW"),
              broker.host.faults().Count("ReadFile(overlapped)") + broker.host.faults().Count("WriteFile(overlapped)"));
    EXPECT_EQ(broker.OpenHandles(), handles);
    // Never alertable, never INFINITE.
    for (const auto& call : broker.host.faults().Log()) {
        EXPECT_EQ(call.arguments.at(1), 0u);
        EXPECT_LT(call.arguments.at(0), 0xFFFFFFFFu);
    }
}

TEST(BrokerCall, CancelledReadThatMayStillWriteEndsTheProcess) {
    BrokerTestHost broker;
    PipeServerScript script;
    script.never_answers = true;
    script.ignores_cancellation = true;
    broker.Serve("", script);
    EXPECT_THROW((void)CallBroker(broker.platform(), kStatus), SimFailFast);
    EXPECT_TRUE(broker.host.faults().Crashed());
    EXPECT_EQ(broker.host.handles().OpenCount(), 0u);
    EXPECT_EQ(broker.host.faults().Count("RaiseFailFastException"), 1u);
}

TEST(BrokerCall, MissingOrStoppedServiceAndUnreachableManager) {
    {
        SimHost empty;
        EXPECT_EQ(Message(CallBroker(empty.platform(), kStatus)),
                  "offline network service is not installed; run telvo runtime windows-sandbox prepare --network "
                  "from an Administrator terminal");
    }
    {
        BrokerTestHost broker;
        broker.host.faults().FailOn("OpenSCManagerW", 1, SysError::Win32(1722));
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)), "OpenSCManagerW(network setup) failed with Win32 error 1722");
    }
    {
        // Stopped: no pipe, and the SCM reports no process.
        BrokerTestHost broker;
        broker.service().status = {};
        broker.service().status.current_state = platform::service_state::kStopped;
        EXPECT_EQ(Message(CallBroker(broker.platform(), kStatus)),
                  "offline-network broker pipe unavailable (Win32 2); run explicit network preparation");
    }
}

}  // namespace
}  // namespace telvo::network_broker
