#include "protocol/request.h"

#include <gtest/gtest.h>

#include <string>

#include "support/frames.h"

namespace telvo::protocol {
namespace {

using telvo::testing::kRecoverBody;
using telvo::testing::kRunBody;

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
                  .find("invalid value: integer `4294967296`, expected u32"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":-1})").find("expected u32"), std::string::npos);
    EXPECT_NE(DecodeError(R"({"operation":"recover","protocolVersion":1.0})").find("floating point"),
              std::string::npos);
    EXPECT_NE(DecodeError(R"(["run"])").find("expected internally tagged enum Request"), std::string::npos);
}

TEST(Request, RefusesMalformedJsonWithPosition) {
    EXPECT_NE(DecodeError(R"({"operation":"recover",)").find("line 1, column"), std::string::npos);
    EXPECT_FALSE(DecodeRequest("\xEF\xBB\xBF{}"));                                   // byte order mark
    EXPECT_FALSE(DecodeRequest(R"({"operation":"recover","protocolVersion":1,"a":"\ud800"})"));  // lone surrogate
    EXPECT_FALSE(DecodeRequest("{\"operation\":\"re\xFF\"}"));                         // invalid UTF-8
}

TEST(Request, ReportsPositionsOnLaterLines) {
    EXPECT_EQ(DecodeError("{\n  \"operation\": \"recover\",\n  \"protocolVersion\": true\n}"),
              "invalid type: boolean `true`, expected u32 for `protocolVersion` at line 3, column 25");
}

}  // namespace
}  // namespace telvo::protocol
