#include "main/process_entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <thread>

#include "common/json.h"
#include "network_broker/service_main.h"
#include "platform/sim/sim_host.h"
#include "support/frames.h"

namespace telvo::app {
namespace {

using platform::sim::SimHost;

DispatchOutcome ExitWith(std::int32_t code) { return std::optional<std::int32_t>(code); }

std::string ErrorRecord(const std::string& message) {
    return "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":\"" + message +
           "\"}\n";
}

constexpr const char* kPanicRecord =
    "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_panic\","
    "\"message\":\"the native sandbox helper aborted unexpectedly\"}\n";

TEST(ProcessEntry, OutcomeTable) {
    SimHost exit_five;
    EXPECT_EQ(ProcessEntry(exit_five.platform(), [](auto&) { return ExitWith(5); }), 0u);
    EXPECT_EQ(exit_five.stdout_pipe().Bytes(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":5}\n");
    EXPECT_EQ(exit_five.console().ExitCode(), 0u);

    SimHost no_record;
    EXPECT_EQ(ProcessEntry(no_record.platform(), [](auto&) { return DispatchOutcome(std::nullopt); }), 0u);
    EXPECT_EQ(no_record.stdout_pipe().Bytes(), "");

    SimHost error;
    EXPECT_EQ(ProcessEntry(error.platform(),
                           [](auto&) -> DispatchOutcome {
                               return Fail(Error::Win32("CreateFileW(C:\\x)", 5).Context("outer step"));
                           }),
              2u);
    EXPECT_EQ(error.stdout_pipe().Bytes(),
              ErrorRecord("outer step: CreateFileW(C:\\\\x) failed with Win32 error 5"));
    EXPECT_EQ(error.console().ExitCode(), 2u);
}

TEST(ProcessEntry, FailedRecordWrites) {
    SimHost exit_record;
    exit_record.stdout_pipe().Break(232);
    EXPECT_EQ(ProcessEntry(exit_record.platform(), [](auto&) { return ExitWith(0); }), 3u);

    SimHost error_record;
    error_record.stdout_pipe().Break(232);
    EXPECT_EQ(ProcessEntry(error_record.platform(), [](auto&) -> DispatchOutcome { return Fail("x"); }), 2u);

    SimHost panic_record;
    panic_record.stdout_pipe().Break(232);
    EXPECT_EQ(ProcessEntry(panic_record.platform(), [](auto&) -> DispatchOutcome { throw std::bad_alloc(); }), 4u);
    EXPECT_EQ(panic_record.stderr_pipe().Bytes(), "");
}

TEST(ProcessEntry, PanicYieldsThePanicRecordAndNothingElse) {
    SimHost host;
    const auto code = ProcessEntry(host.platform(), [](auto&) -> DispatchOutcome {
        throw std::runtime_error("secret payload");
    });
    EXPECT_EQ(code, 4u);
    EXPECT_EQ(host.console().ExitCode(), 4u);
    EXPECT_EQ(host.stdout_pipe().Bytes(), kPanicRecord);
    EXPECT_EQ(host.stderr_pipe().Bytes(), "");

    SimHost fault;
    EXPECT_EQ(ProcessEntry(fault.platform(), [](auto&) -> DispatchOutcome { throw InternalFault("broken"); }), 4u);
    EXPECT_EQ(fault.stdout_pipe().Bytes(), kPanicRecord);
}

TEST(ProcessEntry, ControllerModeEndToEnd) {
    SimHost invalid;
    invalid.stdin_pipe().SetBytes(telvo::testing::Frame(R"({"operation":"run"})"));
    EXPECT_EQ(ProcessEntry(invalid.platform()), 2u);
    EXPECT_NE(invalid.stdout_pipe().Bytes().find("\"message\":\"request is not valid protocol JSON: missing field"),
              std::string::npos);

    SimHost closed_stdout;
    closed_stdout.stdin_pipe().SetBytes(telvo::testing::Frame(R"({"operation":"run"})"));
    closed_stdout.stdout_pipe().Break(232);
    EXPECT_EQ(ProcessEntry(closed_stdout.platform()), 2u);
    EXPECT_EQ(closed_stdout.console().ExitCode(), 2u);

    SimHost no_input;
    EXPECT_EQ(ProcessEntry(no_input.platform()), 2u);
    EXPECT_EQ(no_input.stdout_pipe().Bytes(),
              ErrorRecord("request is missing its 4-byte length prefix: failed to fill whole buffer"));
}

TEST(ProcessEntry, HostCommandRefusalsAreErrorRecords) {
    SimHost host;
    host.console().SetArguments({u"host-status", u"C:\\path"});
    EXPECT_EQ(ProcessEntry(host.platform()), 2u);
    EXPECT_EQ(host.stdout_pipe().Bytes(),
              ErrorRecord("only --drive D:, --null-device, or --network is accepted; no paths or commands"));
    EXPECT_EQ(host.stdin_pipe().Consumed(), 0u);
}

TEST(ProcessEntry, ServiceModeCallsTheDispatcher) {
    SimHost console;
    console.console().SetArguments({u"--network-service"});
    EXPECT_EQ(ProcessEntry(console.platform()), 2u);
    EXPECT_EQ(console.stdout_pipe().Bytes(),
              ErrorRecord("StartServiceCtrlDispatcherW failed with Win32 error 1063"));

    // Once the dispatcher returns, the service has stopped: success without a record.
    SimHost scm;
    scm.console().SetArguments({u"--network-service"});
    scm.service().StartedByServiceControlManager({u"TelvoOfflineNetwork"});
    network_broker::ServiceStopFlag().store(true);
    EXPECT_EQ(ProcessEntry(scm.platform()), 0u);
    EXPECT_EQ(scm.console().ExitCode(), 0u);
    EXPECT_EQ(scm.service().DispatchedName(), u"TelvoOfflineNetwork");
    EXPECT_FALSE(network_broker::ServiceStopFlag().load());
    EXPECT_EQ(scm.stdout_pipe().Bytes(), "");
}

// Every request ends in exactly one record, also one whose bytes are not
// UTF-8: the message shows them as escapes.
TEST(ProcessEntry, InvalidUtf8InTheRequestEndsInOneErrorRecord) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"operation\":\"recover\",\"protocol\xFFVersion\":1}", "last read: '\"protocol\\xff'"},
        {"{\"operation\":\"re\xFE\xFF" "cover\",\"protocolVersion\":1}", "last read: '\"re\\xfe'"},
    };
    for (const auto& [body, quoted] : cases) {
        SimHost host;
        host.stdin_pipe().SetBytes(telvo::testing::Frame(body));
        EXPECT_EQ(ProcessEntry(host.platform()), 2u);
        const std::string out = host.stdout_pipe().Bytes();
        ASSERT_EQ(out.find('\n'), out.size() - 1) << out;
        auto record = json::Document::Parse(out);
        ASSERT_TRUE(record) << out;
        const std::string message = record->root().value->at("message").get<std::string>();
        EXPECT_TRUE(message.starts_with("request is not valid protocol JSON: parse error")) << message;
        EXPECT_NE(message.find(quoted), std::string::npos) << message;
    }
}

TEST(ProcessEntry, UnserializableErrorEndsInTheFixedRecord) {
    SimHost host;
    EXPECT_EQ(ProcessEntry(host.platform(), [](auto&) -> DispatchOutcome { return Fail("bad \xC0 byte"); }), 2u);
    EXPECT_EQ(host.stdout_pipe().Bytes(), protocol::kUnserializableRecord);
}

// A standard output that Windows hands over as null or INVALID_HANDLE_VALUE
// swallows the record; the write counts as done.
TEST(ProcessEntry, MissingOrInvalidStandardOutputCountsAsWritten) {
    for (const platform::Handle handle : {platform::kNullHandle, platform::kInvalidHandle}) {
        SimHost host;
        host.console().SetStdHandle(platform::StdStream::output, handle);
        EXPECT_EQ(ProcessEntry(host.platform(), [](auto&) { return ExitWith(7); }), 0u);
        EXPECT_EQ(host.stdout_pipe().WriteCalls(), 0u);
    }
}

TEST(ProcessEntry, TerminateHandlerWritesThePanicRecordOnce) {
    SimHost fresh;
    protocol::TerminalRecordWriter fresh_writer(fresh.platform());
    EXPECT_EQ(EndWithPanic(fresh.platform(), fresh_writer), 4u);
    EXPECT_EQ(fresh.console().ExitCode(), 4u);
    EXPECT_EQ(fresh.stdout_pipe().Bytes(), kPanicRecord);
    EXPECT_EQ(fresh.stderr_pipe().Bytes(), "");

    // A record already started stays the only one.
    SimHost started;
    started.stdout_pipe().Break(232);
    protocol::TerminalRecordWriter started_writer(started.platform());
    ASSERT_FALSE(started_writer.Write(protocol::ExitRecord{0}));
    EXPECT_EQ(EndWithPanic(started.platform(), started_writer), 4u);
    EXPECT_EQ(started.console().ExitCode(), 4u);
    EXPECT_EQ(started.stdout_pipe().WriteCalls(), 1u);
}

// A fault that escapes another thread of the process reaches the same panic
// record and exit code as one under the dispatcher, with nothing on standard
// error. The simulated process reports what it wrote as it ends.
TEST(ProcessEntryDeathTest, ExceptionEscapingAThreadEndsInOnePanicRecord) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            SimHost host;
            host.console().OnExitProcess([&host](std::uint32_t code) {
                const bool one_panic_record = host.stdout_pipe().Bytes() == kPanicRecord;
                std::fprintf(stderr, "exit %u, %s", code, one_panic_record ? "one panic record" : "other output");
            });
            ProcessEntry(host.platform(), [](auto&) -> DispatchOutcome {
                std::thread([] { throw std::runtime_error("escaped"); }).join();
                return ExitWith(0);
            });
        },
        ::testing::ExitedWithCode(4), "^exit 4, one panic record$");
}

TEST(ProcessEntry, CommandLineFailureIsAnErrorRecord) {
    SimHost host;
    host.faults().FailOn("GetCommandLineW", 1, SysError::Win32(8));
    EXPECT_EQ(ProcessEntry(host.platform()), 2u);
    EXPECT_NE(host.stdout_pipe().Bytes().find("CommandLineToArgvW failed with Win32 error 8"), std::string::npos);
}

}  // namespace
}  // namespace telvo::app
