// The cross-built executable under Wine, driven as a controller drives it:
// a frame on standard input over a real pipe, one record on standard output,
// the process exit code, and nothing on standard error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>

#include "support/frames.h"
#include "wine/process_runner.h"

namespace telvo::wine {
namespace {

using telvo::testing::Frame;
using telvo::testing::kRecoverBody;
using telvo::testing::LengthPrefix;

ProcessResult RunExe(std::vector<std::string> arguments, ProcessOptions options = {}) {
    setenv("WINEPREFIX", TELVO_WINEPREFIX_PATH, 1);
    setenv("WINEDEBUG", "-all", 1);
    std::vector<std::string> argv{TELVO_WINE_PATH, TELVO_EXE_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    options.limit = std::chrono::seconds(90);
    return RunProcess(argv, options);
}

ProcessResult RunWithInput(std::string input) {
    ProcessOptions options;
    options.input = std::move(input);
    return RunExe({}, options);
}

std::string ErrorRecord(const std::string& message) {
    return "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":\"" + message +
           "\"}\n";
}

void ExpectErrorRecord(const ProcessResult& result, const std::string& message) {
    ASSERT_TRUE(result.exit_code.has_value()) << "killed at its time limit";
    EXPECT_EQ(*result.exit_code, 2);
    EXPECT_EQ(result.out, ErrorRecord(message));
    EXPECT_EQ(result.err, "");
}

TEST(WineExe, FrameBounds) {
    ExpectErrorRecord(RunWithInput(LengthPrefix(0) + std::string(kRecoverBody)),
                      "request length 0 is outside the supported 1..=1048576 range");
    ExpectErrorRecord(RunWithInput(LengthPrefix(1048577)),
                      "request length 1048577 is outside the supported 1..=1048576 range");
    std::string largest(kRecoverBody);
    largest.resize(1048576, ' ');
    // A frame of the largest size passes the reader and reaches the run.
    const ProcessResult result = RunWithInput(Frame(largest));
    ASSERT_TRUE(result.exit_code.has_value());
    EXPECT_EQ(result.out.find("request"), std::string::npos) << result.out;
}

TEST(WineExe, ShortInput) {
    ExpectErrorRecord(RunWithInput(""), "request is missing its 4-byte length prefix: failed to fill whole buffer");
    ExpectErrorRecord(RunWithInput(std::string("\x20\x00", 2)),
                      "request is missing its 4-byte length prefix: failed to fill whole buffer");
    ExpectErrorRecord(RunWithInput(LengthPrefix(200) + std::string(kRecoverBody)),
                      "request frame ended before its declared length: failed to fill whole buffer");
}

TEST(WineExe, InvalidRequests) {
    ExpectErrorRecord(RunWithInput(Frame(R"({"operation":"recover","protocolVersion":2})")),
                      "unsupported protocolVersion 2; expected 1");
    ExpectErrorRecord(RunWithInput(Frame(std::string(kRecoverBody) + std::string(kRecoverBody))),
                      "request is not valid protocol JSON: parse error at line 1, column 44: syntax error while "
                      "parsing value - unexpected '{'; expected end of input");
    ExpectErrorRecord(RunWithInput(Frame(R"({"operation":"run","protocolVersion":1})")),
                      "request is not valid protocol JSON: missing field `command` at line 1, column 39");
}

// Bytes that are not UTF-8 still end in exactly one record: the message
// shows them as escapes.
TEST(WineExe, InvalidUtf8EndsInOneRecord) {
    ExpectErrorRecord(RunWithInput(Frame("{\"operation\":\"recover\",\"protocol\xFFVersion\":1}")),
                      "request is not valid protocol JSON: parse error at line 1, column 33: syntax error while "
                      "parsing object key - invalid string: ill-formed UTF-8 byte; last read: '\\\"protocol\\\\xff'; "
                      "expected string literal");
    ExpectErrorRecord(RunWithInput(Frame("{\"operation\":\"run\",\"protocolVersion\":1,\"command\":\"echo \xC3(\"}")),
                      "request is not valid protocol JSON: parse error at line 1, column 57: syntax error while "
                      "parsing value - invalid string: ill-formed UTF-8 byte; last read: '\\\"echo \\\\xc3('");
}

TEST(WineExe, ByteOrderMarkIsRefused) {
    ExpectErrorRecord(RunWithInput(Frame("\xEF\xBB\xBF" + std::string(kRecoverBody))),
                      "request is not valid protocol JSON: parse error at line 1, column 1: syntax error while "
                      "parsing value - byte-order mark before the value");
}

// Every file and directory of the prefix's drive C:, by path.
std::set<std::filesystem::path> PrefixFiles() {
    std::set<std::filesystem::path> paths;
    const std::filesystem::path drive = std::filesystem::path(TELVO_WINEPREFIX_PATH) / "drive_c";
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             drive, std::filesystem::directory_options::skip_permission_denied, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        paths.insert(it->path());
    }
    return paths;
}

TEST(WineExe, RunRequestStopsAtTheStateDirectoryAndLeavesOnlyIt) {
    const auto before = PrefixFiles();
    const ProcessResult result = RunWithInput(Frame(telvo::testing::kRunBody));
    // Wine does not keep file DACLs: the run stops where it reads the state
    // directory's DACL back, before anything else on the host changes.
    ExpectErrorRecord(result, "the Windows sandbox state DACL is not restricted to one account");
    for (const auto& path : PrefixFiles()) {
        if (before.contains(path)) continue;
        EXPECT_NE(path.string().find("TelvoSandboxState-v1"), std::string::npos) << path;
    }
}

TEST(WineExe, ValidRequestReachesTheRun) {
    const ProcessResult result = RunWithInput(Frame(std::string(kRecoverBody) + "\n"));
    // The request reaches the run, which makes the state directory and reads
    // its DACL back; Wine does not keep file DACLs, so the run stops there
    // with one error record.
    ExpectErrorRecord(result, "the Windows sandbox state DACL is not restricted to one account");
}

TEST(WineExe, HostCommandRefusals) {
    ExpectErrorRecord(RunExe({"HOST-STATUS"}), "expected host-status, host-prepare, or host-remove");
    ExpectErrorRecord(RunExe({"host-status", "C:\\\\path"}),
                      "only --drive D:, --null-device, or --network is accepted; no paths or commands");
    ExpectErrorRecord(RunExe({"host-status", "--network", "--null-device"}),
                      "host preparation accepts only one selector: --drive D:, --null-device, or --network");
    ExpectErrorRecord(RunExe({"host-remove", "--drive", "DD"}),
                      "--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted");
    ExpectErrorRecord(RunExe({"host-prepare", "--drive"}), "--drive requires one drive letter");
}

TEST(WineExe, ServiceModeOutsideTheServiceControlManager) {
    const ProcessResult result = RunExe({"--network-service"});
    ASSERT_TRUE(result.exit_code.has_value());
    EXPECT_EQ(*result.exit_code, 2);
    EXPECT_NE(result.out.find("StartServiceCtrlDispatcherW failed with Win32 error "), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

TEST(WineExe, ClosedStandardOutputStillExitsWithTheErrorCode) {
    ProcessOptions options;
    options.input = LengthPrefix(0);
    options.close_stdout_early = true;
    const ProcessResult result = RunExe({}, options);
    ASSERT_TRUE(result.exit_code.has_value());
    EXPECT_EQ(*result.exit_code, 2);
    EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace telvo::wine
