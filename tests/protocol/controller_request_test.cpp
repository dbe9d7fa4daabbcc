#include "protocol/controller_request.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "support/frames.h"

namespace telvo::protocol {
namespace {

using platform::sim::SimHost;
using telvo::testing::Frame;
using telvo::testing::kRecoverBody;
using telvo::testing::LengthPrefix;

// A recover body padded with spaces to exactly `length` bytes.
std::string PaddedRecover(std::size_t length) {
    std::string body(kRecoverBody);
    body.resize(length, ' ');
    return body;
}

std::string ReadError(SimHost& host) {
    auto request = ReadControllerRequest(host.platform());
    EXPECT_FALSE(request);
    return request ? std::string() : request.error().Display();
}

TEST(ControllerRequest, FrameLengthBounds) {
    SimHost zero;
    zero.stdin_pipe().SetBytes(LengthPrefix(0) + std::string(kRecoverBody));
    EXPECT_EQ(ReadError(zero), "request length 0 is outside the supported 1..=1048576 range");

    SimHost over;
    over.stdin_pipe().SetBytes(LengthPrefix(1048577) + PaddedRecover(1048577));
    EXPECT_EQ(ReadError(over), "request length 1048577 is outside the supported 1..=1048576 range");
    EXPECT_EQ(over.stdin_pipe().Consumed(), 4u);

    SimHost max;
    max.stdin_pipe().SetBytes(Frame(PaddedRecover(1048576)));
    EXPECT_TRUE(ReadControllerRequest(max.platform()));

    SimHost one;
    one.stdin_pipe().SetBytes(Frame("1"));
    EXPECT_NE(ReadError(one).find("request is not valid protocol JSON: invalid type: integer `1`"), std::string::npos);
}

TEST(ControllerRequest, ShortPrefixAndShortBodyNameTheirCause) {
    SimHost empty;
    EXPECT_EQ(ReadError(empty), "request is missing its 4-byte length prefix: failed to fill whole buffer");

    SimHost three;
    three.stdin_pipe().SetBytes(std::string("\x05\x00\x00", 3));
    EXPECT_EQ(ReadError(three), "request is missing its 4-byte length prefix: failed to fill whole buffer");

    SimHost body;
    body.stdin_pipe().SetBytes(LengthPrefix(100) + std::string(kRecoverBody));
    EXPECT_EQ(ReadError(body), "request frame ended before its declared length: failed to fill whole buffer");
}

TEST(ControllerRequest, ReadFailuresCarryTheWin32Cause) {
    SimHost host;
    host.stdin_pipe().SetBytes(std::string("\x10\x00", 2));
    host.stdin_pipe().SetErrorAfterBytes(998);
    EXPECT_EQ(ReadError(host),
              "request is missing its 4-byte length prefix: ReadFile(standard input) failed with Win32 error 998");

    // A controller that closed its end of the pipe is end of input, not a failure.
    SimHost closed;
    closed.stdin_pipe().SetBytes(LengthPrefix(50));
    closed.stdin_pipe().SetErrorAfterBytes(109);
    EXPECT_EQ(ReadError(closed), "request frame ended before its declared length: failed to fill whole buffer");

    SimHost no_stdin;
    no_stdin.console().SetStdHandle(platform::StdStream::input, platform::kNullHandle);
    EXPECT_EQ(ReadError(no_stdin), "request is missing its 4-byte length prefix: failed to fill whole buffer");
}

TEST(ControllerRequest, ReadsExactlyTheFrameInPieces) {
    SimHost host;
    const std::string frame = Frame(kRecoverBody);
    host.stdin_pipe().SetBytes(frame + "trailing bytes stay unread");
    host.stdin_pipe().SetMaxChunk(3);
    auto request = ReadControllerRequest(host.platform());
    ASSERT_TRUE(request) << request.error().Display();
    EXPECT_EQ(host.stdin_pipe().Consumed(), frame.size());
}

TEST(ControllerRequest, ChecksTheVersionAfterDecoding) {
    SimHost recover;
    recover.stdin_pipe().SetBytes(Frame(R"({"operation":"recover","protocolVersion":2})"));
    EXPECT_EQ(ReadError(recover), "unsupported protocolVersion 2; expected 1");

    SimHost trailing;
    trailing.stdin_pipe().SetBytes(Frame(std::string(kRecoverBody) + "\n"));
    EXPECT_TRUE(ReadControllerRequest(trailing.platform()));

    SimHost garbage;
    garbage.stdin_pipe().SetBytes(Frame(std::string(kRecoverBody) + "{}"));
    EXPECT_NE(ReadError(garbage).find("request is not valid protocol JSON: "), std::string::npos);
}

}  // namespace
}  // namespace telvo::protocol
