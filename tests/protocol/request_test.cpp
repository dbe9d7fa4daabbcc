#include "protocol/request.h"

#include <gtest/gtest.h>

#include <string>

#include "common/json.h"

#include "platform/sim/sim_host.h"
#include "support/frames.h"

namespace telvo::protocol {
namespace {

using platform::sim::SimHost;
using telvo::testing::Frame;
using telvo::testing::kRecoverBody;
using telvo::testing::kRunBody;
using telvo::testing::LengthPrefix;

std::string Replace(std::string_view text, std::string_view from, std::string_view to) {
    std::string out(text);
    const auto at = out.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    out.replace(at, from.size(), to);
    return out;
}

std::string DecodeError(std::string_view body) {
    auto request = DecodeRequest(body);
    EXPECT_FALSE(request) << body;
    return request ? std::string() : request.error().Display();
}

TEST(Request, DecodesEveryRunField) {
    auto request = DecodeRequest(kRunBody);
    ASSERT_TRUE(request) << request.error().Display();
    const auto& run = std::get<protocol::Run>(*request);
    EXPECT_EQ(run.protocol_version, 1u);
    EXPECT_EQ(run.command, "echo hi");
    EXPECT_EQ(run.cwd, "C:\\work");
    EXPECT_EQ(run.root, "C:\\work");
    EXPECT_EQ(run.mode, RunMode::workspace_write);
    EXPECT_EQ(run.readable_roots, std::vector<std::string>{"C:\\tools"});
    EXPECT_EQ(run.private_paths, std::vector<std::string>{"C:\\work\\.git"});
    EXPECT_FALSE(run.network_access);
}

TEST(Request, KeyOrderIsFreeAndOperationMayStandLast) {
    const std::string body =
        R"({"networkAccess":true,"privatePaths":[],"readableRoots":[],"mode":"read-only","root":"C:\\r",)"
        R"("cwd":"C:\\r","command":"dir","protocolVersion":1,"operation":"run"})";
    auto request = DecodeRequest(body);
    ASSERT_TRUE(request) << request.error().Display();
    const auto& run = std::get<protocol::Run>(*request);
    EXPECT_EQ(run.mode, RunMode::read_only);
    EXPECT_TRUE(run.network_access);
    EXPECT_TRUE(run.private_paths.empty());
}

TEST(Request, DecodesRecover) {
    auto request = DecodeRequest(kRecoverBody);
    ASSERT_TRUE(request);
    EXPECT_EQ(std::get<Recover>(*request).protocol_version, 1u);
    EXPECT_EQ(ProtocolVersionOf(*request), 1u);
}

TEST(Request, AcceptsTrailingWhitespaceOnly) {
    EXPECT_TRUE(DecodeRequest(std::string(kRecoverBody) + " \t\r\n"));
    EXPECT_NE(DecodeError(std::string(kRecoverBody) + std::string(kRecoverBody)).find("line 1, column 44"),
              std::string::npos);
    EXPECT_FALSE(DecodeRequest(std::string(kRecoverBody) + "\f"));
    EXPECT_FALSE(DecodeRequest(std::string(kRecoverBody) + "x"));
}

TEST(Request, RefusesUnknownMissingAndDuplicateKeysByName) {
    EXPECT_EQ(DecodeError(Replace(kRunBody, R"("networkAccess":false})", R"("networkAccess":false,"extra":1})")),
              "unknown field `extra` at line 1, column 214");
    EXPECT_EQ(DecodeError(Replace(kRunBody, R"(,"privatePaths":["C:\\work\\.git"])", "")),
              "missing field `privatePaths` at line 1, column 171");
    EXPECT_NE(DecodeError(Replace(kRunBody, R"("cwd":"C:\\work",)", R"("cwd":"C:\\work","cwd":"C:\\x",)"))
                  .find("duplicate field `cwd`"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":1,"command":"x"})").find("unknown field `command`"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover"})").find("missing field `protocolVersion`"), std::string::npos);
    EXPECT_NE(DecodeError(R"({"protocolVersion":1})").find("missing field `operation`"), std::string::npos);
}

TEST(Request, RefusesWrongTypesAndValues) {
    EXPECT_NE(DecodeError(Replace(kRunBody, R"("command":"echo hi")", R"("command":5)"))
                  .find("invalid type: integer `5`, expected a string for `command`"),
              std::string::npos);
    EXPECT_NE(DecodeError(Replace(kRunBody, R"("networkAccess":false)", R"("networkAccess":"no")"))
                  .find("expected a boolean for `networkAccess`"),
              std::string::npos);
    EXPECT_NE(DecodeError(Replace(kRunBody, R"(["C:\\tools"])", R"(["C:\\tools",7])"))
                  .find("expected a string for `readableRoots`"),
              std::string::npos);
    EXPECT_NE(DecodeError(Replace(kRunBody, R"("mode":"workspace-write")", R"("mode":"write")"))
                  .find("unknown variant `write`"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"delete","protocolVersion":1})").find("unknown variant `delete`"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":4294967296})")
                  .find("invalid value: integer `4294967296`, expected a whole number from 0 to 4294967295"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":-1})").find("expected a whole number from 0 to 4294967295"), std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":1.0})").find("floating point"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"(["run"])").find("expected internally tagged enum Request"), std::string::npos);
}

TEST(Request, RefusesMalformedJsonWithPosition) {
    EXPECT_NE(DecodeError(R"({"operation":"recover",)").find("line 1, column"), std::string::npos);
    EXPECT_FALSE(DecodeRequest(R"({"operation":"recover","protocolVersion":1,"a":"\ud800"})"));  // lone surrogate
}

// The body is exactly one JSON value: a byte-order mark before an otherwise
// valid request is refused.
TEST(Request, RefusesAByteOrderMark) {
    EXPECT_NE(DecodeError("\xEF\xBB\xBF" + std::string(kRecoverBody)).find("byte-order mark"), std::string::npos);
    EXPECT_FALSE(DecodeRequest("\xEF\xBB\xBF" + std::string(kRunBody)));
    EXPECT_TRUE(DecodeRequest(kRunBody));
}

// Bytes that are not UTF-8 are refused, and the message quoting them shows
// them as escapes, so that it stays valid UTF-8.
TEST(Request, InvalidUtf8IsQuotedAsEscapes) {
    const std::string in_key = DecodeError("{\"operation\":\"recover\",\"protocol\xFFVersion\":1}");
    EXPECT_NE(in_key.find("last read: '\"protocol\\xff'"), std::string::npos) << in_key;
    EXPECT_EQ(json::MessageText(in_key), in_key);
    const std::string in_value = DecodeError("{\"operation\":\"re\xC3(\",\"protocolVersion\":1}");
    EXPECT_NE(in_value.find("last read: '\"re\\xc3('"), std::string::npos) << in_value;
    EXPECT_EQ(json::MessageText(in_value), in_value);
}

TEST(Request, ReportsPositionsOnLaterLines) {
    EXPECT_EQ(DecodeError("{\n  \"operation\": \"recover\",\n  \"protocolVersion\": true\n}"),
              "invalid type: boolean `true`, expected a whole number from 0 to 4294967295 for `protocolVersion` at line 3, column 25");
}

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

TEST(ReadControllerRequest, FrameLengthBounds) {
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

TEST(ReadControllerRequest, ShortPrefixAndShortBodyNameTheirCause) {
    SimHost empty;
    EXPECT_EQ(ReadError(empty), "request is missing its 4-byte length prefix: failed to fill whole buffer");

    SimHost three;
    three.stdin_pipe().SetBytes(std::string("\x05\x00\x00", 3));
    EXPECT_EQ(ReadError(three), "request is missing its 4-byte length prefix: failed to fill whole buffer");

    SimHost body;
    body.stdin_pipe().SetBytes(LengthPrefix(100) + std::string(kRecoverBody));
    EXPECT_EQ(ReadError(body), "request frame ended before its declared length: failed to fill whole buffer");
}

TEST(ReadControllerRequest, ReadFailuresCarryTheWin32Cause) {
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

    SimHost invalid_stdin;
    invalid_stdin.console().SetStdHandle(platform::StdStream::input, platform::kInvalidHandle);
    EXPECT_EQ(ReadError(invalid_stdin), "request is missing its 4-byte length prefix: failed to fill whole buffer");
}

TEST(ReadControllerRequest, ReadsExactlyTheFrameInPieces) {
    SimHost host;
    const std::string frame = Frame(kRecoverBody);
    host.stdin_pipe().SetBytes(frame + "trailing bytes stay unread");
    host.stdin_pipe().SetMaxChunk(3);
    auto request = ReadControllerRequest(host.platform());
    ASSERT_TRUE(request) << request.error().Display();
    EXPECT_EQ(host.stdin_pipe().Consumed(), frame.size());
}

TEST(ReadControllerRequest, ChecksTheVersionAfterDecoding) {
    SimHost recover;
    recover.stdin_pipe().SetBytes(Frame(R"({"operation":"recover","protocolVersion":2})"));
    EXPECT_EQ(ReadError(recover), "unsupported protocolVersion 2; expected 1");

    SimHost trailing;
    trailing.stdin_pipe().SetBytes(Frame(std::string(kRecoverBody) + "\n"));
    EXPECT_TRUE(ReadControllerRequest(trailing.platform()));

    SimHost garbage;
    garbage.stdin_pipe().SetBytes(Frame(std::string(kRecoverBody) + "{}"));
    EXPECT_NE(ReadError(garbage).find("request is not valid protocol JSON: "), std::string::npos);

    SimHost byte_order_mark;
    byte_order_mark.stdin_pipe().SetBytes(Frame("\xEF\xBB\xBF" + std::string(kRecoverBody)));
    EXPECT_EQ(ReadError(byte_order_mark),
              "request is not valid protocol JSON: parse error at line 1, column 1: syntax error while parsing "
              "value - byte-order mark before the value");
}

}  // namespace
}  // namespace telvo::protocol
