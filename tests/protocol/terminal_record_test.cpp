#include "protocol/terminal_record.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"

namespace telvo::protocol {
namespace {

using platform::sim::SimHost;

constexpr const char* kExitZero = "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n";

TEST(TerminalRecord, ExactBytesInKeyOrder) {
    EXPECT_EQ(*SerializeTerminalRecord(ExitRecord{0}), kExitZero);
    EXPECT_EQ(*SerializeTerminalRecord(ExitRecord{-1073741510}),
              "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":-1073741510}\n");
    EXPECT_EQ(*SerializeTerminalRecord(ErrorRecord{"sandbox_backend_error", "a \"quoted\" C:\\path\nline"}),
              "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\","
              "\"message\":\"a \\\"quoted\\\" C:\\\\path\\nline\"}\n");
    EXPECT_EQ(*SerializeTerminalRecord(ErrorRecord{"sandbox_backend_error", "Wörk"}),
              "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":\"Wörk\"}\n");
    // The fixed record is exactly what the serializer makes of it.
    EXPECT_EQ(*SerializeTerminalRecord(ErrorRecord{kBackendErrorCode, "could not serialize terminal record"}),
              kUnserializableRecord);
}

TEST(TerminalRecord, WrittenInOneGo) {
    SimHost host;
    TerminalRecordWriter writer(host.platform());
    ASSERT_TRUE(writer.Write(ExitRecord{5}));
    EXPECT_EQ(host.stdout_pipe().Bytes(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":5}\n");
    EXPECT_EQ(host.stdout_pipe().WriteCalls(), 1u);
}

TEST(TerminalRecord, MissingOrInvalidStandardOutputSwallowsTheRecord) {
    for (const platform::Handle handle : {platform::kNullHandle, platform::kInvalidHandle, platform::Handle{0x7777}}) {
        SimHost host;
        host.console().SetStdHandle(platform::StdStream::output, handle);
        TerminalRecordWriter writer(host.platform());
        EXPECT_TRUE(writer.Write(ExitRecord{0})) << static_cast<std::uint64_t>(handle);
    }
}

TEST(TerminalRecord, ClosedStandardOutputIsAnError) {
    SimHost host;
    host.stdout_pipe().Break(232);
    TerminalRecordWriter writer(host.platform());
    auto written = writer.Write(ExitRecord{0});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().Display(),
              "could not serialize terminal record: WriteFile(standard output) failed with Win32 error 232");
}

TEST(TerminalRecord, UnserializableRecordIsReplacedByTheFixedRecord) {
    SimHost host;
    TerminalRecordWriter writer(host.platform());
    auto written = writer.Write(ErrorRecord{kBackendErrorCode, "bad \xFF byte"});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message(), "could not serialize terminal record");
    EXPECT_EQ(host.stdout_pipe().Bytes(), kUnserializableRecord);
}

// Once a record was attempted, no second one follows, whether the first
// reached standard output or failed on the way.
TEST(TerminalRecord, AtMostOneRecordIsAttempted) {
    SimHost written;
    TerminalRecordWriter after_success(written.platform());
    ASSERT_TRUE(after_success.Write(ExitRecord{0}));
    auto second = after_success.Write(ErrorRecord{kBackendPanicCode, kPanicMessage});
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().Display(), "could not serialize terminal record: a terminal record was already written");
    EXPECT_EQ(written.stdout_pipe().Bytes(), kExitZero);

    SimHost broken;
    broken.stdout_pipe().Break(232);
    TerminalRecordWriter after_failure(broken.platform());
    ASSERT_FALSE(after_failure.Write(ExitRecord{0}));
    ASSERT_FALSE(after_failure.Write(ErrorRecord{kBackendPanicCode, kPanicMessage}));
    EXPECT_EQ(broken.stdout_pipe().WriteCalls(), 1u);
}

}  // namespace
}  // namespace telvo::protocol
