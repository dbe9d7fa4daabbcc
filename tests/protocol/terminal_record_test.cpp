#include "protocol/terminal_record.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"

namespace telvo::protocol {
namespace {

using platform::sim::SimHost;

TEST(TerminalRecord, ExactBytesInKeyOrder) {
    EXPECT_EQ(*SerializeTerminalRecord(ExitRecord{0}), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    EXPECT_EQ(*SerializeTerminalRecord(ExitRecord{-1073741510}),
              "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":-1073741510}\n");
    EXPECT_EQ(*SerializeTerminalRecord(ErrorRecord{"sandbox_backend_error", "a \"quoted\" C:\\path\nline"}),
              "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\","
              "\"message\":\"a \\\"quoted\\\" C:\\\\path\\nline\"}\n");
    EXPECT_EQ(*SerializeTerminalRecord(ErrorRecord{"sandbox_backend_error", "Wörk"}),
              "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":\"Wörk\"}\n");
}

TEST(TerminalRecord, WrittenInOneGo) {
    SimHost host;
    ASSERT_TRUE(WriteTerminalRecord(host.platform(), ExitRecord{5}));
    EXPECT_EQ(host.stdout_pipe().Bytes(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":5}\n");
    EXPECT_EQ(host.stdout_pipe().WriteCalls(), 1u);
}

TEST(TerminalRecord, InvalidStandardOutputSwallowsTheRecord) {
    SimHost missing;
    missing.console().SetStdHandle(platform::StdStream::output, platform::kNullHandle);
    EXPECT_TRUE(WriteTerminalRecord(missing.platform(), ExitRecord{0}));

    SimHost stale;
    stale.console().SetStdHandle(platform::StdStream::output, platform::Handle{0x7777});
    EXPECT_TRUE(WriteTerminalRecord(stale.platform(), ExitRecord{0}));
}

TEST(TerminalRecord, ClosedStandardOutputIsAnError) {
    SimHost host;
    host.stdout_pipe().Break(232);
    auto written = WriteTerminalRecord(host.platform(), ExitRecord{0});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().Display(),
              "could not serialize terminal record: WriteFile(standard output) failed with Win32 error 232");
}

TEST(TerminalRecord, InvalidUtf8MessageIsRefusedWhole) {
    SimHost host;
    auto written = WriteTerminalRecord(host.platform(), ErrorRecord{"sandbox_backend_error", "bad \xFF byte"});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message(), "could not serialize terminal record");
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");
}

}  // namespace
}  // namespace telvo::protocol
