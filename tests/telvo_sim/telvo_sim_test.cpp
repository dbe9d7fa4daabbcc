#include "telvo_sim/sim_session.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

#include "support/frames.h"
#include "telvo_sim/host_file.h"

namespace telvo::telvo_sim {
namespace {

std::string RunBody(const std::string& command, const std::string& private_paths = "") {
    return R"({"operation":"run","protocolVersion":1,"command":")" + command +
           R"(","cwd":"C:\\Users\\alice\\work","root":"C:\\Users\\alice\\work","mode":"workspace-write",)" +
           R"("readableRoots":[],"privatePaths":[)" + private_paths + R"(],"networkAccess":true})";
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A controller as the helper expects one: it writes its input and keeps its
// end open until the helper has ended, then closes it.
struct Controller {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::string input;
        bool input_sent = false;
        bool closed = false;
        std::string output;
        std::string error;
    };

    int Run(const std::vector<std::string>& arguments, std::string input) {
        shared = std::make_shared<Shared>();
        shared->input = std::move(input);
        SimStreams streams;
        streams.read_input = [s = shared] {
            std::unique_lock lock(s->mutex);
            if (!s->input_sent) {
                s->input_sent = true;
                return s->input;
            }
            // Open until the helper has ended: a command may print lines that
            // look like the record.
            s->changed.wait(lock, [&] { return s->closed; });
            return std::string();
        };
        streams.write_output = [s = shared](std::string_view bytes) {
            std::lock_guard lock(s->mutex);
            s->output.append(bytes);
            s->changed.notify_all();
            return true;
        };
        streams.write_error = [s = shared](std::string_view bytes) {
            std::lock_guard lock(s->mutex);
            s->error.append(bytes);
        };
        const int code = RunTelvoSim(arguments, streams);
        {
            std::lock_guard lock(shared->mutex);
            shared->closed = true;
        }
        shared->changed.notify_all();
        return code;
    }
    std::string Output() {
        std::lock_guard lock(shared->mutex);
        return shared->output;
    }
    std::string Error() {
        std::lock_guard lock(shared->mutex);
        return shared->error;
    }

    std::shared_ptr<Shared> shared;
};

class TelvoSimTest : public ::testing::Test {
protected:
    TelvoSimTest() {
        directory = std::filesystem::temp_directory_path() /
                    ("telvo-sim-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory);
    }
    ~TelvoSimTest() override { std::filesystem::remove_all(directory); }
    std::string File(const std::string& name) const { return (directory / name).string(); }

    // What a host's state says is left of runs: entries for an AppContainer
    // SID (S-1-15-2- with its seven sub-authorities) anywhere, profiles, and
    // journals in the state directory.
    static std::vector<std::string> Leftovers(const std::string& state) {
        std::vector<std::string> found;
        static const std::regex kAppContainerSid(R"(S-1-15-2(-\d+){7})");
        for (auto it = std::sregex_iterator(state.begin(), state.end(), kAppContainerSid);
             it != std::sregex_iterator(); ++it) {
            found.push_back(it->str());
        }
        const auto host = nlohmann::json::parse(state);
        if (host.contains("profiles") && !host["profiles"].empty()) found.push_back("profiles");
        if (state.find("TelvoSandboxState-v1\\\\Telvo.Sandbox.") != std::string::npos) found.push_back("journal");
        return found;
    }

    std::filesystem::path directory;
    Controller controller;
};

TEST_F(TelvoSimTest, BadOptionsAndHostFilesAreRefusedBeforeAnythingRuns) {
    std::ofstream(File("bad.json")) << R"({"format":"telvo-sim-host/1","user":{"name":5}})";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--hots", "x"}, "unknown option --hots"},
        {{"--host"}, "--host needs a value"},
        {{"--host", "a", "--host=b"}, "--host is given twice"},
        {{"--changes=yes"}, "--changes=yes: the report is text or json"},
        {{"--changes", "--changes=json"}, "--changes is given twice"},
        {{"--help=all"}, "--help takes no value"},
        {{"--fail", "CretaeFileW:1:5"}, "the helper makes no seam call CretaeFileW (telvo-sim --list-calls lists them)"},
        {{"--fail", "createfilew:1:5"}, "no seam call createfilew"},
        {{"--crash-after", "0"}, "N must be a whole number from 1"},
        {{"--crash-after", "12x"}, "N must be a whole number from 1"},
        {{"--fail", "ReadFile:1"}, "expected CALL:N:CODE"},
        {{"--fail", "ReadFile:0:5"}, "N must be a whole number from 1"},
        {{"--fail", "ReadFile:1:0x5"}, "ReadFile fails with a Win32 error: give a decimal code other than 0"},
        {{"--fail", "SHGetKnownFolderPath:1:5"}, "fails with an HRESULT: give a 0x-hexadecimal code"},
        {{"--fail", "NtSetSecurityObject:1:0x1C0000022"}, "fails with an NTSTATUS"},
        {{"--host", File("missing.json")}, "cannot read host file " + File("missing.json")},
        {{"--host", File("bad.json")}, "host file " + File("bad.json")},
    };
    for (const auto& [arguments, message] : cases) {
        EXPECT_EQ(controller.Run(arguments, telvo::testing::Frame(RunBody("build"))), kExitUsage)
            << arguments.front();
        EXPECT_NE(controller.Error().find(message), std::string::npos) << controller.Error();
        EXPECT_TRUE(controller.Error().starts_with("telvo-sim: ")) << controller.Error();
        EXPECT_EQ(controller.Output(), "") << arguments.front();
    }
}

// The helper's own arguments after the options: a host command's refusal
// is the helper's, record and exit code.
TEST_F(TelvoSimTest, HelperArgumentsFollowTheOptions) {
    EXPECT_EQ(controller.Run({"--", "--drive"}, ""), 2);
    EXPECT_TRUE(controller.Output().starts_with(R"({"kind":"error")")) << controller.Output();
    EXPECT_EQ(controller.Error(), "");
    EXPECT_EQ(controller.Run({"host-status", "--drive", "C:", "extra"}, ""), 2);
    EXPECT_TRUE(controller.Output().starts_with(R"({"kind":"error")")) << controller.Output();
}

// Host commands run on the simulated host; what an Administrator prepares,
// and the drive mappings of a host file, carry over through --state-out.
TEST_F(TelvoSimTest, HostCommandsRunOnTheHostAndTheirStateCarriesOver) {
    EXPECT_EQ(controller.Run({"--", "host-status"}, ""), 0);
    EXPECT_TRUE(controller.Output().starts_with(R"({"protocolVersion":1,"kind":"hostPreparation","operation":"status")"))
        << controller.Output();
    EXPECT_NE(controller.Output().find(R"("changed":false,"targets":[{"kind":"systemDriveRoot")"), std::string::npos)
        << controller.Output();
    EXPECT_EQ(controller.Run({"--", "host-status", "--null-device"}, ""), 0);
    EXPECT_NE(controller.Output().find(R"("prepared":true,"changed":false,"lifetime":"untilReboot"})"),
              std::string::npos)
        << controller.Output();
    EXPECT_EQ(controller.Run({"--", "host-remove", "--null-device"}, ""), 2);
    EXPECT_NE(controller.Output().find("require an elevated Administrator terminal"), std::string::npos);

    std::ofstream(File("admin.json"))
        << R"({"format":"telvo-sim-host/1","user":{"administrator":true,"elevated":true},)"
        << R"("volumes":[{"drive":"C:","type":"fixed"},{"drive":"N:","type":"mapping",)"
        << R"("mapping":"\\Device\\LanmanRedirector\\;N:0000000000012345\\srv\\share","driveType":"remote"}]})";
    ASSERT_EQ(controller.Run({"--host", File("admin.json"), "--state-out", File("state.json"), "--",
                              "host-prepare", "--null-device"},
                             ""),
              0)
        << controller.Output() << controller.Error();
    EXPECT_NE(controller.Output().find(R"("prepared":true,"changed":true)"), std::string::npos);
    const auto state = nlohmann::json::parse(ReadFile(File("state.json")));
    EXPECT_TRUE(state.contains("nullDevice"));
    EXPECT_EQ(state["volumes"].back()["type"], "mapping");
    EXPECT_EQ(controller.Run({"--host", File("state.json"), "--", "host-prepare", "--null-device"}, ""), 0);
    EXPECT_NE(controller.Output().find(R"("prepared":true,"changed":false)"), std::string::npos);
    EXPECT_EQ(controller.Run({"--host", File("state.json"), "--", "host-prepare", "--drive", "N:"}, ""), 2);
    EXPECT_NE(controller.Output().find("selected drive must be an existing fixed local drive"), std::string::npos);
}

TEST_F(TelvoSimTest, RunOnTheDefaultHostKeepsThePrivatePathAndLeavesNothing) {
    const int code = controller.Run({"--state-out", File("state.json"), "--calls-out", File("calls.txt")},
                                    telvo::testing::Frame(RunBody("peek", R"("C:\\Users\\alice\\work\\.zanth")")));
    EXPECT_EQ(code, 0) << controller.Error();
    EXPECT_EQ(controller.Output(),
              "read C:\\Users\\alice\\work\\.zanth\\session.key: error 5\n"
              "write C:\\Users\\alice\\work\\notes.txt: ok\n"
              "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    const std::string state = ReadFile(File("state.json"));
    EXPECT_EQ(Leftovers(state), std::vector<std::string>{});
    EXPECT_NE(state.find("notes.txt"), std::string::npos);
    // The state reads back as a host.
    EXPECT_TRUE(ReadHostFile(state));
    const std::string calls = ReadFile(File("calls.txt"));
    EXPECT_TRUE(calls.starts_with("GetCommandLineW\nGetStdHandle\n")) << calls.substr(0, 200);
    EXPECT_NE(calls.find("\nCreateProcessW\n"), std::string::npos);
}

// The random numbers go on in the state a run writes: the next run on it
// makes a profile of another name; a run on the same state, the same one.
TEST_F(TelvoSimTest, RunsOnAStateFileDrawNewProfileNames) {
    const auto profile_of = [&](std::vector<std::string> arguments) {
        arguments.push_back("--changes");
        EXPECT_EQ(controller.Run(arguments, telvo::testing::Frame(RunBody("build"))), 0) << controller.Error();
        const std::string changes = controller.Error();
        std::smatch found;
        EXPECT_TRUE(std::regex_search(changes, found, std::regex(R"(profile (Telvo\.Sandbox\.[0-9a-f]+))"))) << changes;
        return found.size() > 1 ? found[1].str() : std::string();
    };
    const std::string first = profile_of({"--state-out", File("one.json")});
    const std::string second = profile_of({"--host", File("one.json"), "--state-out", File("two.json")});
    const std::string third = profile_of({"--host", File("two.json")});
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
    EXPECT_NE(first, third);
    EXPECT_EQ(profile_of({"--host", File("one.json")}), second);
}

TEST_F(TelvoSimTest, PlannedFailureEndsInTheHelpersErrorRecord) {
    EXPECT_EQ(controller.Run({"--fail", "CreateProcessW:1:5", "--state-out", File("state.json")},
                             telvo::testing::Frame(RunBody("build"))),
              2);
    EXPECT_NE(controller.Output().find("CreateProcessW"), std::string::npos) << controller.Output();
    EXPECT_NE(controller.Output().find("Win32 error 5"), std::string::npos) << controller.Output();
    EXPECT_EQ(controller.Error(), "");
    EXPECT_EQ(Leftovers(ReadFile(File("state.json"))), std::vector<std::string>{});
}

// A point past the end of the run is known once the run has ended: the run
// happens as if it were not there, then the point is named and the exit is 64.
TEST_F(TelvoSimTest, PointsPastTheEndOfTheRunAreReportedWithExit64) {
    const std::string run = telvo::testing::Frame(RunBody("build"));
    EXPECT_EQ(controller.Run({"--fail", "CreateProcessW:1:5", "--fail", "CreateProcessW:9:5"}, run), kExitUsage);
    EXPECT_TRUE(controller.Output().starts_with(R"({"kind":"error")")) << controller.Output();
    EXPECT_EQ(controller.Error(),
              "telvo-sim: --fail CreateProcessW:9 was not reached: the helper used CreateProcessW 1 time(s)\n");

    // How many calls a run makes depends on its threads' timing; a point far
    // past it is never reached, one inside it always is.
    EXPECT_EQ(controller.Run({"--crash-after", "1000000"}, run), kExitUsage);
    EXPECT_EQ(controller.Output(), "list C:\\Users\\alice\\work\\src: ok\n"
                                   "mkdir C:\\Users\\alice\\work\\out: ok\n"
                                   "write C:\\Users\\alice\\work\\out\\main.js: ok\n"
                                   "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    EXPECT_TRUE(std::regex_match(controller.Error(), std::regex("telvo-sim: --crash-after 1000000 was not reached: the "
                                                                "helper made [1-9][0-9]{2,} seam call\\(s\\)\n")))
        << controller.Error();
    EXPECT_EQ(controller.Run({"--crash-after", "300"}, run), kExitHelperDied);
    // A call the run never makes.
    EXPECT_EQ(controller.Run({"--fail", "StartServiceCtrlDispatcherW:1:5"}, run), kExitUsage);
    EXPECT_NE(controller.Error().find("the helper used StartServiceCtrlDispatcherW 0 time(s)"), std::string::npos);
}

TEST_F(TelvoSimTest, HelpAndTheCallListRunNothing) {
    EXPECT_EQ(controller.Run({"--help"}, ""), 0);
    EXPECT_TRUE(controller.Output().starts_with("usage: telvo-sim ")) << controller.Output();
    EXPECT_NE(controller.Output().find("--list-calls"), std::string::npos);
    EXPECT_EQ(controller.Error(), "");
    EXPECT_EQ(controller.Run({"--list-calls"}, ""), 0);
    const std::string listed = controller.Output();
    EXPECT_NE(listed.find("\nCreateFileW\n"), std::string::npos) << listed;
    // Every call of a whole run is one --fail accepts.
    ASSERT_EQ(controller.Run({"--calls-out", File("calls.txt")}, telvo::testing::Frame(RunBody("build"))), 0);
    std::istringstream calls(ReadFile(File("calls.txt")));
    std::size_t checked = 0;
    for (std::string call; std::getline(calls, call); ++checked) {
        ASSERT_NE(("\n" + listed).find("\n" + call + "\n"), std::string::npos) << call;
    }
    EXPECT_GT(checked, 500u);
}

TEST_F(TelvoSimTest, ControllerThatGoesAwayEndsTheCommand) {
    std::string host(DefaultHostFile());
    const std::string anchor = R"("echo hello": {"steps": [], "exitCode": 0},)";
    ASSERT_NE(host.find(anchor), std::string::npos);
    host.replace(host.find(anchor), anchor.size(),
                 R"("leave": {"steps": [{"spawn": "watch"}, {"closeControllerInput": true}, {"waitForTermination": true}]},)");
    std::ofstream(File("host.json")) << host;
    EXPECT_EQ(controller.Run({"--host", File("host.json"), "--state-out", File("state.json")},
                             telvo::testing::Frame(RunBody("leave"))),
              0);
    // The command and its background process end with 130; the run reports it.
    EXPECT_EQ(controller.Output(), "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":130}\n");
    EXPECT_EQ(Leftovers(ReadFile(File("state.json"))), std::vector<std::string>{});
}

// A crash after any seam call of a run, then a recover request on the
// state it left: every sampled point ends clean.
TEST_F(TelvoSimTest, CrashAfterAnyCallIsRecoveredFromTheStateItLeft) {
    const std::string run = telvo::testing::Frame(RunBody("build", R"("C:\\Users\\alice\\work\\.zanth")"));
    ASSERT_EQ(controller.Run({"--calls-out", File("calls.txt")}, run), 0);
    std::size_t calls = 0;
    for (const char c : ReadFile(File("calls.txt"))) calls += c == '\n';
    ASSERT_GT(calls, 500u);
    std::size_t crashed = 0;
    for (std::size_t after = 1; after < calls; after += after < 40 ? 1 : 23) {
        const std::string where = "crash after " + std::to_string(after);
        const int code = controller.Run({"--crash-after", std::to_string(after), "--state-out", File("crashed.json")}, run);
        if (code == kExitHelperDied) ++crashed;
        const std::string crashed_state = ReadFile(File("crashed.json"));
        ASSERT_TRUE(ReadHostFile(crashed_state)) << where;
        int recovered = controller.Run({"--host", File("crashed.json"), "--state-out", File("recovered.json")},
                                       telvo::testing::Frame(telvo::testing::kRecoverBody));
        if (recovered != 0) {
            // Kept with a message; the next recovery, the cause gone, cleans.
            EXPECT_TRUE(controller.Output().starts_with(R"({"kind":"error")")) << where << controller.Output();
            recovered = controller.Run({"--host", File("recovered.json"), "--state-out", File("recovered.json")},
                                       telvo::testing::Frame(telvo::testing::kRecoverBody));
        }
        EXPECT_EQ(recovered, 0) << where << ": " << controller.Output();
        EXPECT_EQ(Leftovers(ReadFile(File("recovered.json"))), std::vector<std::string>{}) << where;
        if (HasFailure()) return;
    }
    EXPECT_GT(crashed, 40u);
}

// A command can print what a record looks like; the helper's record comes
// last, and the command's standard error reaches the same stream.
TEST_F(TelvoSimTest, PrintStepsWriteTheCommandsOutputAndError) {
    std::ofstream(File("host.json")) << R"({"format": "telvo-sim-host/1",
      "objects": [{"path": "C:\\Users\\alice\\work", "kind": "directory"}],
      "commands": {"fake": {"steps": [
          {"print": "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n"},
          {"print": "warning: fake\n", "to": "error"}], "exitCode": 7}}})";
    EXPECT_EQ(controller.Run({"--host", File("host.json"), "--state-out", File("state.json")},
                             telvo::testing::Frame(RunBody("fake"))),
              0)
        << controller.Error() << controller.Output();
    EXPECT_EQ(controller.Output(),
              "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n"
              "warning: fake\n"
              "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":7}\n");
    // The steps survive the state file.
    const auto state = nlohmann::json::parse(ReadFile(File("state.json")));
    EXPECT_EQ(state["commands"]["fake"]["steps"][1], nlohmann::json::parse(R"({"print":"warning: fake\n","to":"error"})"));
}

// Every line of the report once in each form; the state directory and its
// lock file are the objects meant to stay.
TEST_F(TelvoSimTest, ChangeReportAsJsonLinesSaysWhatTheTextSays) {
    const std::string run = telvo::testing::Frame(RunBody("build"));
    ASSERT_EQ(controller.Run({"--changes=json"}, run), 0) << controller.Error();
    std::istringstream lines(controller.Error());
    std::vector<nlohmann::json> changes;
    for (std::string line; std::getline(lines, line);) changes.push_back(nlohmann::json::parse(line));
    ASSERT_GT(changes.size(), 10u);
    std::set<std::string> staying;
    std::set<std::string> left;
    for (const auto& change : changes) {
        EXPECT_EQ(change.size(), 5u) << change.dump();
        EXPECT_TRUE(change["status"] == "undone" || change["status"] == "left") << change.dump();
        EXPECT_GE(change["times"].get<int>(), 1);
        if (change["meantToStay"].get<bool>()) staying.insert(change["object"].get<std::string>());
        if (change["status"] == "left" && !change["meantToStay"].get<bool>()) {
            left.insert(change["object"].get<std::string>());
        }
    }
    EXPECT_EQ(staying, (std::set<std::string>{"C:\\Users\\alice\\AppData\\Local\\TelvoSandboxState-v1",
                                              "C:\\Users\\alice\\AppData\\Local\\TelvoSandboxState-v1\\acl-mutations.lock"}));
    // What the command made is left; everything of the helper is undone.
    EXPECT_EQ(left, (std::set<std::string>{"C:\\Users\\alice\\work\\out", "C:\\Users\\alice\\work\\out\\main.js"}));

    ASSERT_EQ(controller.Run({"--changes"}, run), 0);
    const std::string text = controller.Error();
    std::size_t undone = 0;
    for (const auto& change : changes) {
        const std::string heading =
            change["object"].get<std::string>() + (change["meantToStay"].get<bool>() ? "  (meant to stay)\n" : "\n");
        EXPECT_NE(text.find(heading), std::string::npos) << heading;
        const std::string status = change["status"] == "undone" ? "undone" : "left  ";
        const int times = change["times"].get<int>();
        const std::string line = "  " + status + "  " + change["change"].get<std::string>() +
                                 (times > 1 ? " (" + std::to_string(times) + " times)\n" : "\n");
        EXPECT_NE(text.find(line), std::string::npos) << line;
        undone += change["status"] == "undone";
    }
    EXPECT_TRUE(text.ends_with(std::to_string(changes.size()) + " changes, " + std::to_string(undone) + " undone, " +
                               std::to_string(changes.size() - undone) + " left\n"))
        << text;
}

// An offline run goes through the product's own service: its lease is
// installed and removed again. Cut off while its command runs, the service
// sweeps the lease of the ended process before the state is written, and
// the next run on that state recovers the journal and runs.
TEST_F(TelvoSimTest, OfflineRunsGoThroughTheServiceAndACrashedOneLeavesNoLease) {
    std::string offline = RunBody("build");
    offline.replace(offline.find(R"("networkAccess":true)"), 20, R"("networkAccess":false)");
    const std::string run = telvo::testing::Frame(offline);
    ASSERT_EQ(controller.Run({"--changes", "--calls-out", File("calls.txt")}, run), 0) << controller.Error();
    EXPECT_TRUE(std::regex_search(controller.Error(),
                                  std::regex("\nlease [0-9a-f-]{36}\n  undone  installed \\(profile "
                                             "Telvo\\.Sandbox\\.[0-9a-f]{32}, filters \\d+, \\d+, \\d+, \\d+\\)\\n")))
        << controller.Error();
    // The calls are the helper's: the service's, beside it, are not among them.
    const std::string calls = ReadFile(File("calls.txt"));
    EXPECT_EQ(calls.find("FwpmFilterAdd0"), std::string::npos);
    const std::size_t resumed = calls.find("ResumeThread\n");
    ASSERT_NE(resumed, std::string::npos);
    const auto after = static_cast<std::size_t>(std::count(calls.begin(), calls.begin() + resumed, '\n')) + 1;

    ASSERT_EQ(controller.Run({"--crash-after", std::to_string(after), "--state-out", File("crashed.json")}, run),
              kExitHelperDied)
        << controller.Error();
    const std::string crashed = ReadFile(File("crashed.json"));
    EXPECT_EQ(nlohmann::json::parse(crashed)["wfp"]["filters"].size(), 0u) << crashed;
    EXPECT_NE(Leftovers(crashed), std::vector<std::string>{});
    ASSERT_EQ(controller.Run({"--host", File("crashed.json"), "--state-out", File("next.json")}, run), 0)
        << controller.Error() << controller.Output();
    EXPECT_EQ(Leftovers(ReadFile(File("next.json"))), std::vector<std::string>{});
}

// The smallest host file that runs a sandbox: the workspace and a command.
TEST_F(TelvoSimTest, MinimalHostFileRunsASandbox) {
    std::ofstream(File("host.json")) << R"({"format": "telvo-sim-host/1",
      "objects": [{"path": "C:\\Users\\alice\\work", "kind": "directory"}],
      "commands": {"build": {"steps": [{"write": "C:\\Users\\alice\\work\\out.txt", "text": "built\n"}]}}})";
    EXPECT_EQ(controller.Run({"--host", File("host.json"), "--state-out", File("state.json")},
                             telvo::testing::Frame(RunBody("build"))),
              0)
        << controller.Error();
    EXPECT_EQ(controller.Output(), "write C:\\Users\\alice\\work\\out.txt: ok\n"
                                   "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
    EXPECT_EQ(Leftovers(ReadFile(File("state.json"))), std::vector<std::string>{});
}

// Each example host file of the host-file page runs a sandbox as it stands.
TEST_F(TelvoSimTest, TheHostFilePagesExampleRunsASandbox) {
    std::ifstream page(std::filesystem::path(__FILE__).parent_path() / "../../docs/telvo-sim-host-format.md");
    ASSERT_TRUE(page);
    std::stringstream text;
    text << page.rdbuf();
    const std::string doc = text.str();
    std::size_t examples = 0;
    for (std::size_t start = doc.find("```json\n"); start != std::string::npos; start = doc.find("```json\n", start)) {
        start += 8;
        const std::size_t end = doc.find("```", start);
        std::ofstream(File("host.json")) << doc.substr(start, end - start);
        ++examples;
        EXPECT_EQ(controller.Run({"--host", File("host.json"), "--state-out", File("state.json")},
                                 telvo::testing::Frame(RunBody("type notes.txt"))),
                  0)
            << controller.Error() << controller.Output();
        EXPECT_EQ(controller.Output(), "read C:\\Users\\alice\\work\\notes.txt: ok\n"
                                       "{\"kind\":\"exit\",\"protocolVersion\":1,\"exitCode\":0}\n");
        const std::string state = ReadFile(File("state.json"));
        EXPECT_EQ(Leftovers(state), std::vector<std::string>{});
        // The lease of an earlier run stays for its recovery.
        const std::string example = doc.substr(start, end - start);
        EXPECT_EQ(nlohmann::json::parse(state)["wfp"]["filters"].size(),
                  nlohmann::json::parse(example).value("wfp", nlohmann::json::object()).value("filters", nlohmann::json::array()).size());
    }
    EXPECT_GE(examples, 2u);
}

}  // namespace
}  // namespace telvo::telvo_sim
