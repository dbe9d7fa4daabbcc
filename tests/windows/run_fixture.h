#pragma once

// A prepared host for whole requests through ExecuteRequest.

#include <string>
#include <string_view>
#include <vector>

#include "dacl_fixture.h"
#include "identity/capability_set.h"
#include "protocol/request.h"
#include "support/clean_host.h"
#include "support/job_signal_setting.h"
#include "windows/run_orchestration.h"

namespace telvo::windows::testing {

inline const Sid kUser = Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1001});
inline constexpr char16_t kState[] = u"\\\\?\\C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1";

// A prepared host with the user's profile folders, cmd.exe and a workspace
// C:\work\ws; whole requests go through ExecuteRequest while the controller
// keeps standard input open.
class RunOrchestrationTest : public DaclTest {
protected:
    RunOrchestrationTest() {
        host.security().SetTokenUser(kUser);
        constexpr std::uint8_t inherit = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
        const auto capabilities = identity::CapabilitySet::Resolve(platform().appcontainer).value();
        // The host preparation lets the metadata capability read the system drive.
        PlantDacl("C:\\", {Ace::Allowed(0x001F01FF, winformat::well_known::Administrators(), inherit),
                           Ace::Allowed(0x001F01FF, kUser, inherit), Ace::Allowed(0x00120088, capabilities.sids()[2])});
        for (const char* dir : {"C:\\Windows", "C:\\Windows\\System32", "C:\\Users", "C:\\Users\\tester",
                                "C:\\Users\\tester\\AppData", "C:\\Users\\tester\\AppData\\Local", "C:\\work",
                                "C:\\work\\ws"}) {
            Dir(dir);
        }
        File("C:\\Windows\\System32\\cmd.exe");
        File("C:\\work\\ws\\a.txt", "a");
        host.stdin_pipe().HoldOpen();
        run.protocol_version = 1;
        run.root = "C:\\work\\ws";
        run.cwd = "C:\\work\\ws";
        run.mode = protocol::RunMode::workspace_write;
        run.network_access = true;
    }
    ~RunOrchestrationTest() override {
        host.stdin_pipe().CloseWriter();
        host.processes().JoinThreads();
    }

    // What `command` runs: cmd.exe's command line for it takes `steps`.
    void Script(std::string_view command, std::vector<platform::sim::ProcessStep> steps) {
        host.processes().Script(u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"" + Wide(command) + u"\"",
                                std::move(steps));
    }
    Result<std::int32_t> Run(std::string command) {
        run.command = std::move(command);
        return ExecuteRequest(platform(), run);
    }
    Result<std::int32_t> Recover() { return ExecuteRequest(platform(), protocol::Recover{1}); }
    // The current process ends as a process ends (unless it has died
    // already) and the user's next one starts; its controller keeps its
    // standard input open.
    void NextProcess() {
        if (host.CallerIsDead()) {
            host.StartNewProcess();
        } else {
            host.EndProcessAndStartNext();
        }
        host.stdin_pipe().HoldOpen();
    }
    std::vector<std::string> Leftovers() { return telvo::testing::RunLeftovers(host, kState); }
    std::vector<std::u16string> Journals() {
        std::vector<std::u16string> journals;
        const auto paths = files().ObjectPaths(kState).value_or(std::vector<std::u16string>{});
        for (const auto& path : paths) {
            if (path.ends_with(u".json")) journals.push_back(path);
        }
        return journals;
    }
    template <class T>
    static std::string ErrorOf(const Result<T>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }

    protocol::Run run;
};

// Whole runs under one setting of whether terminating an empty job signals
// it (the parameter); a file's suite derives its own name from it and
// instantiates it with TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS.
class WholeRunTest : public RunOrchestrationTest, public ::testing::WithParamInterface<bool> {
protected:
    telvo::testing::EmptyJobSignalSetting setting{GetParam()};
};

}  // namespace telvo::windows::testing
