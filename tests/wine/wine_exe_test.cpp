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

// What a controller can send that the front end answers on its own: each
// case's record, the same from the real executable under Wine and from
// telvo-sim, byte for byte, with the same exit code.
struct FrontEndCase {
    std::vector<std::string> arguments;
    std::string input;
    std::string message;
};

std::vector<FrontEndCase> FrontEndCases() {
    const std::string short_prefix = "request is missing its 4-byte length prefix: failed to fill whole buffer";
    return {
        // Frame bounds and short input.
        {{}, LengthPrefix(0) + std::string(kRecoverBody), "request length 0 is outside the supported 1..=1048576 range"},
        {{}, LengthPrefix(1048577), "request length 1048577 is outside the supported 1..=1048576 range"},
        {{}, "", short_prefix},
        {{}, std::string("\x20\x00", 2), short_prefix},
        {{}, LengthPrefix(200) + std::string(kRecoverBody),
         "request frame ended before its declared length: failed to fill whole buffer"},
        // Requests that are not the protocol's.
        {{}, Frame(R"({"operation":"recover","protocolVersion":2})"), "unsupported protocolVersion 2; expected 1"},
        {{}, Frame(std::string(kRecoverBody) + std::string(kRecoverBody)),
         "request is not valid protocol JSON: parse error at line 1, column 44: syntax error while parsing value - "
         "unexpected '{'; expected end of input"},
        {{}, Frame(R"({"operation":"run","protocolVersion":1})"),
         "request is not valid protocol JSON: missing field `command` at line 1, column 39"},
        // Bytes that are not UTF-8 still end in exactly one record: the
        // message shows them as escapes.
        {{}, Frame("{\"operation\":\"recover\",\"protocol\xFFVersion\":1}"),
         "request is not valid protocol JSON: parse error at line 1, column 33: syntax error while parsing object key "
         "- invalid string: ill-formed UTF-8 byte; last read: '\\\"protocol\\\\xff'; expected string literal"},
        {{}, Frame("{\"operation\":\"run\",\"protocolVersion\":1,\"command\":\"echo \xC3(\"}"),
         "request is not valid protocol JSON: parse error at line 1, column 57: syntax error while parsing value - "
         "invalid string: ill-formed UTF-8 byte; last read: '\\\"echo \\\\xc3('"},
        {{}, Frame("\xEF\xBB\xBF" + std::string(kRecoverBody)),
         "request is not valid protocol JSON: parse error at line 1, column 1: syntax error while parsing value - "
         "byte-order mark before the value"},
        // Host command refusals.
        {{"HOST-STATUS"}, "", "expected host-status, host-prepare, or host-remove"},
        {{"host-status", "C:\\\\path"}, "", "only --drive D:, --null-device, or --network is accepted; no paths or commands"},
        {{"host-status", "--network", "--null-device"}, "",
         "host preparation accepts only one selector: --drive D:, --null-device, or --network"},
        {{"host-remove", "--drive", "DD"}, "",
         "--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted"},
        {{"host-prepare", "--drive"}, "", "--drive requires one drive letter"},
    };
}

TEST(WineExe, FrontEndAnswersAloneAndTelvoSimAnswersAlike) {
    for (const FrontEndCase& front_end : FrontEndCases()) {
        SCOPED_TRACE(front_end.message);
        ProcessOptions options;
        options.input = front_end.input;
        const ProcessResult exe = RunExe(front_end.arguments, options);
        ExpectErrorRecord(exe, front_end.message);

        std::vector<std::string> argv{TELVO_SIM_PATH, "--"};
        argv.insert(argv.end(), front_end.arguments.begin(), front_end.arguments.end());
        const ProcessResult sim = RunProcess(argv, options);
        EXPECT_EQ(sim.out, exe.out);
        EXPECT_EQ(sim.exit_code, exe.exit_code);
        EXPECT_EQ(sim.err, "");
    }
}

TEST(WineExe, LargestFrameReachesTheRun) {
    std::string largest(kRecoverBody);
    largest.resize(1048576, ' ');
    ProcessOptions options;
    options.input = Frame(largest);
    const ProcessResult result = RunExe({}, options);
    ASSERT_TRUE(result.exit_code.has_value());
    EXPECT_EQ(result.out.find("request"), std::string::npos) << result.out;
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

TEST(WineExe, ServiceModeOutsideTheServiceControlManager) {
    const ProcessResult result = RunExe({"--network-service"});
    ASSERT_TRUE(result.exit_code.has_value());
    EXPECT_EQ(*result.exit_code, 2);
    EXPECT_NE(result.out.find("StartServiceCtrlDispatcherW failed with Win32 error "), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

// Every host command with every selector ends in exactly one line: its
// report with exit code 0, or one error record with exit code 2 where Wine
// refuses a call the command needs.
TEST(WineExe, EveryHostCommandEndsInOneReportOrOneRefusal) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> selectors{
        {{}, "hostPreparation"},
        {{"--drive", "C:"}, "hostPreparation"},
        {{"--null-device"}, "nullDevicePreparation"},
        {{"--network"}, "networkPreparation"},
    };
    for (const std::string command : {"host-status", "host-prepare", "host-remove"}) {
        for (const auto& [selector, kind] : selectors) {
            std::vector<std::string> arguments{command};
            arguments.insert(arguments.end(), selector.begin(), selector.end());
            SCOPED_TRACE(command + (selector.empty() ? "" : " " + selector.front()));
            const ProcessResult result = RunExe(arguments);
            ASSERT_TRUE(result.exit_code.has_value()) << "killed at its time limit";
            EXPECT_EQ(result.err, "");
            ASSERT_TRUE(result.out.ends_with("\n")) << result.out;
            EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << result.out;
            if (*result.exit_code == 0) {
                EXPECT_TRUE(result.out.starts_with("{\"protocolVersion\":1,\"kind\":\"" + kind + "\"")) << result.out;
            } else {
                EXPECT_EQ(*result.exit_code, 2);
                EXPECT_TRUE(result.out.starts_with("{\"kind\":\"error\",\"protocolVersion\":1,")) << result.out;
                EXPECT_EQ(result.out.find("not implemented"), std::string::npos) << result.out;
            }
        }
    }
}

// The network service under Wine: the status reports a bare host; prepare
// and remove stop at the filtering engine, which Wine does not serve, and
// change nothing.
TEST(WineExe, NetworkSetupStopsAtTheFilteringEngine) {
    const std::string bare =
        "\"serviceName\":\"TelvoOfflineNetwork\",\"installPath\":\"C:\\\\Program "
        "Files\\\\TelvoOfflineNetwork\\\\telvo-windows-sandbox.exe\",\"installed\":false,\"running\":false,"
        "\"quiesced\":false,\"prepared\":false,\"changed\":false,\"servicePid\":0,\"activeLeases\":0,"
        "\"retainedLeases\":0,\"policyVersion\":1,\"binaryMatches\":false}\n";
    for (const std::string command : {"host-prepare", "host-remove"}) {
        SCOPED_TRACE(command);
        const ProcessResult result = RunExe({command, "--network"});
        ASSERT_TRUE(result.exit_code.has_value()) << "killed at its time limit";
        EXPECT_EQ(*result.exit_code, 2);
        EXPECT_EQ(result.out,
                  "{\"kind\":\"error\",\"protocolVersion\":1,\"code\":\"sandbox_backend_error\",\"message\":"
                  "\"FwpmEngineOpen0 failed with Windows/WFP error 0x000006e4\"}\n");
        const ProcessResult status = RunExe({"host-status", "--network"});
        ASSERT_TRUE(status.exit_code.has_value()) << "killed at its time limit";
        EXPECT_EQ(*status.exit_code, 0);
        EXPECT_EQ(status.out,
                  "{\"protocolVersion\":1,\"kind\":\"networkPreparation\",\"operation\":\"status\"," + bare);
    }
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
