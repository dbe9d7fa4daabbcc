#include "windows/run_orchestration.h"

#include <gtest/gtest.h>

#include "identity/capability_set.h"
#include "network_broker/broker_test_host.h"
#include "process/sandbox_launch.h"
#include "run_fixture.h"
#include "windows/state_directory.h"
#include "winutil/walk_tree.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;

class RunOrchestration : public WholeRunTest {};
TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS(RunOrchestration);

TEST_P(RunOrchestration, RefusalsBeforeTheLockChangeNothingButTheStateDirectory) {
    for (const char* command : {"   ", "", " \t\xE3\x80\x80"}) {
        EXPECT_EQ(ErrorOf(Run(command)), "command must be non-empty and contain no NUL byte") << command;
    }
    EXPECT_EQ(ErrorOf(Run(std::string("dir\0x", 5))), "command must be non-empty and contain no NUL byte");
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    // The state directory was made and narrowed to the user.
    const auto aces = AcesOf("C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1");
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_EQ(*aces[0].sid(), kUser);

    run.cwd = "C:\\work";
    EXPECT_EQ(ErrorOf(Run("build")), "cwd is outside the assigned directory authorities");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    EXPECT_TRUE(files().Lookup(u"C:\\work\\ws\\a.txt"));
}

// What CreateProcessW or cmd.exe would refuse is refused while nothing has
// changed: a command line that fills 32767 units with its NUL, a working
// directory longer than a current directory may be.
TEST_P(RunOrchestration, LaunchTextsWindowsWouldRefuseAreRefusedBeforeAnyChange) {
    const std::size_t frame = std::u16string_view(u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"").size();
    const std::string longest(process::kMaxCommandLineUnits - 1 - frame, 'x');
    const std::string deepest = "C:\\work\\ws\\" + std::string(process::kMaxWorkingDirectoryUnits - 12, 'd');
    ASSERT_EQ(deepest.size(), 258u);
    Dir(deepest);
    Dir(deepest + "\\" + "e");
    Dir("C:\\work\\ws\\" + std::string(process::kMaxWorkingDirectoryUnits - 11, 'd'));
    Script(longest, {step::Exit{0}});

    const auto refused = [&](const std::string& command) {
        const std::string error = ErrorOf(Run(command));
        EXPECT_EQ(host.faults().Count("CreateMutexW"), 0u) << error;  // no live marker, so no journal
        EXPECT_EQ(host.faults().Count("CreateAppContainerProfile"), 0u) << error;
        EXPECT_EQ(Leftovers(), std::vector<std::string>{});
        return error;
    };
    EXPECT_EQ(refused(longest + "x"), "Windows command line exceeds 32767 UTF-16 code units");
    run.cwd = deepest + "\\e";
    EXPECT_EQ(refused(longest), "cwd exceeds the 258 UTF-16 code units of a Windows current directory");
    run.cwd = "C:\\work\\ws\\" + std::string(process::kMaxWorkingDirectoryUnits - 11, 'd');
    EXPECT_EQ(refused(longest), "cwd exceeds the 258 UTF-16 code units of a Windows current directory");

    // At the limits, the run goes on, in the drive-letter form.
    run.cwd = deepest;
    const auto ran = Run(longest);
    ASSERT_TRUE(ran) << ran.error().Display();
    const auto created = host.processes().Created();
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(created.back()->image().current_directory, Wide(deepest));
    EXPECT_EQ(created.back()->image().command_line.size(), process::kMaxCommandLineUnits - 1);
}

TEST_P(RunOrchestration, StateDirectoryComesFromAnOrdinaryLocalAppData) {
    host.faults().FailOn("SHGetKnownFolderPath", host.faults().Count("SHGetKnownFolderPath") + 1,
                         SysError::HResult(0x80070005));
    EXPECT_EQ(ErrorOf(Recover()), "SHGetKnownFolderPath(LocalAppData) failed with HRESULT 0x80070005");
    host.system().SetLocalAppData(u"");
    EXPECT_EQ(ErrorOf(Recover()), "SHGetKnownFolderPath(LocalAppData) failed with HRESULT 0x00000000");
    const char* refused = "the LocalAppData known folder is not an ordinary absolute local directory";
    host.system().SetLocalAppData(u"\\\\server\\share\\tester");
    EXPECT_EQ(ErrorOf(Recover()), refused);
    host.system().SetLocalAppData(u"C:\\Users\\tester\\missing");
    EXPECT_EQ(ErrorOf(Recover()), refused);
    Junction("C:\\Users\\tester\\link", "C:\\Users\\tester\\AppData\\Local");
    host.system().SetLocalAppData(u"C:\\Users\\tester\\link");
    EXPECT_EQ(ErrorOf(Recover()), refused);
    File("C:\\Users\\tester\\file");
    host.system().SetLocalAppData(u"C:\\Users\\tester\\file");
    EXPECT_EQ(ErrorOf(Recover()), refused);

    // A file where the directory belongs cannot be taken for it.
    File("C:\\Users\\tester\\TelvoSandboxState-v1");
    host.system().SetLocalAppData(u"c:\\users\\tester");
    EXPECT_NE(ErrorOf(Recover()), "(succeeded)");
    // Found through its canonical form, made once and then reused.
    host.system().SetLocalAppData(u"c:\\users\\TESTER\\appdata\\local");
    EXPECT_EQ(ErrorOf(Recover()), "(succeeded)");
    EXPECT_EQ(ErrorOf(Recover()), "(succeeded)");
    EXPECT_TRUE(files().Lookup(kState));
}

TEST_P(RunOrchestration, StateDirectoryThatCannotBeProvedIsNamedInTheError) {
    const auto fail_nth_final_path = [&](std::uint64_t nth) {
        host.faults().FailOn("GetFinalPathNameByHandleW", host.faults().Count("GetFinalPathNameByHandleW") + nth,
                             SysError::Win32(5));
        const std::string error = ErrorOf(Recover());
        host.faults().Clear();
        return error;
    };
    EXPECT_EQ(fail_nth_final_path(1), "could not canonicalize LocalAppData C:\\Users\\tester\\AppData\\Local: "
                                      "GetFinalPathNameByHandleW(size) failed with Win32 error 5");
    EXPECT_EQ(fail_nth_final_path(2),
              "could not canonicalize recovery directory \\\\?\\C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1: "
              "GetFinalPathNameByHandleW(size) failed with Win32 error 5");
    EXPECT_EQ(fail_nth_final_path(3),
              "the Windows sandbox state ancestry has no stable identity: "
              "\\\\?\\C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1: "
              "GetFinalPathNameByHandleW(size) failed with Win32 error 5");
    EXPECT_EQ(ErrorOf(Recover()), "(succeeded)");
}

TEST_P(RunOrchestration, CommandRunsAndLeavesAFreeAndCleanHost) {
    Script("build", {step::File{step::File::Action::write, u"C:\\work\\ws\\out.txt", "o"}, step::Exit{3}});
    auto exit_code = Run("build");
    ASSERT_TRUE(exit_code) << exit_code.error().Display();
    EXPECT_EQ(*exit_code, 3);
    EXPECT_EQ(host.stdout_pipe().Bytes(), "write C:\\work\\ws\\out.txt: ok\n");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});

    // With nothing left to recover, a recovery succeeds at once.
    auto recovered = Recover();
    ASSERT_TRUE(recovered) << recovered.error().Display();
    EXPECT_EQ(*recovered, 0);
}

TEST_P(RunOrchestration, OfflineRunHoldsALeaseFromTheBroker) {
    network_broker::testing::InstallOfflineService(host);
    network_broker::testing::ServeBrokerResult(
        host, network_broker::RegisteredResult{"lease-1", {1, 2, 3, 4}});
    network_broker::testing::ServeBrokerResult(host, network_broker::ReleasedResult{});
    Script("fetch", {step::Exit{0}});
    run.network_access = false;
    // Before the broker is first asked, the journal says that it must be
    // asked again should the run die.
    std::vector<std::string> journals_seen;
    host.faults().OnCall("GetNamedPipeServerProcessId", host.faults().Count("GetNamedPipeServerProcessId") + 1, [&] {
        for (const auto& path : Journals()) journals_seen.push_back(files().Lookup(path)->contents);
    });
    auto exit_code = Run("fetch");
    ASSERT_TRUE(exit_code) << exit_code.error().Display();
    EXPECT_EQ(*exit_code, 0);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    ASSERT_EQ(journals_seen.size(), 1u);
    EXPECT_TRUE(journals_seen[0].ends_with(",\"brokerRequired\":true}")) << journals_seen[0];

    // Without a broker the command never runs, and the run is still undone.
    Script("fetch", {step::WriteOutput{"ran\n"}, step::Exit{0}});
    const std::string error = ErrorOf(Run("fetch"));
    EXPECT_EQ(error.rfind("sandbox command failed: offline-network protection unavailable; command not resumed", 0), 0u)
        << error;
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// A workspace at the validation limit is pushed over it by the run's own
// private directories: the grant stops there, and the cleanup still reaches
// every object the grant changed. Its walks over 500000 objects take
// minutes: it runs under the default setting of the job's signal alone.
TEST_F(RunOrchestrationTest, WorkspaceAtTheObjectLimitIsRefusedAndUndoneWhole) {
    std::uint64_t objects = 2;  // the root and a.txt
    for (int d = 0; objects < winutil::kWalkObjectLimit; ++d) {
        const std::string dir = "C:\\work\\ws\\d" + std::to_string(d);
        Dir(dir);
        ++objects;
        for (int f = 0; f < 999 && objects < winutil::kWalkObjectLimit; ++f, ++objects) {
            (void)files().MakeFile(Wide(dir + "\\" + std::to_string(f)));
        }
    }
    Script("build", {step::WriteOutput{"ran\n"}, step::Exit{0}});
    const std::string error = ErrorOf(Run("build"));
    EXPECT_NE(error.find("sandbox authority exceeds the 500000-object validation limit"), std::string::npos) << error;
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");
    EXPECT_EQ(Journals(), std::vector<std::u16string>{});
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_P(RunOrchestration, ControllerGoneDuringSetUpCancelsTheRunAndUndoesIt) {
    Script("build", {step::WriteOutput{"ran\n"}, step::Exit{0}});
    host.faults().OnCall("NtSetSecurityObject", host.faults().Count("NtSetSecurityObject") + 1, [&] {
        host.stdin_pipe().CloseWriter();
        host.processes().JoinThreads();
    });
    const std::string error = ErrorOf(Run("build"));
    EXPECT_EQ(error.rfind("sandbox command failed: controller closed stdin", 0), 0u) << error;
    EXPECT_EQ(host.stdout_pipe().Bytes(), "");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

TEST_P(RunOrchestration, JobThatOutlivesTheCommandDefersCleanupToRecovery) {
    // A background process that has begun to end itself and takes a minute
    // to go: the job counts it until it is gone.
    host.processes().Script(u"stubborn", {step::SurviveTermination{60000},
                                          step::HostCall{[](platform::sim::SimProcess& self) { self.Terminate(0); }}});
    Script("build", {step::StartChild{u"stubborn"}, step::Exit{0}});
    const std::string error = ErrorOf(Run("build"));
    EXPECT_NE(error.find("; sandbox ACL/profile cleanup failed: ACL/profile cleanup deferred to crash recovery because "
                         "the job is not proven empty"),
              std::string::npos)
        << error;
    EXPECT_NE(error.find("could not prove job empty: Windows sandbox job still has 1 active process(es)"),
              std::string::npos)
        << error;
    ASSERT_EQ(Journals().size(), 1u);
    // While the helper lives, its run is alive: nothing is recovered.
    ASSERT_TRUE(Recover());
    ASSERT_EQ(Journals().size(), 1u);
    EXPECT_NE(Leftovers(), std::vector<std::string>{});

    // The helper ends (its job with it); the next helper's recovery undoes the run.
    host.stdin_pipe().CloseWriter();
    host.processes().JoinThreads();
    host.faults().CrashAfter(0);
    (void)platform().kernel.GetTickCount64();
    host.clock().Advance(60000);
    host.StartNewProcess();
    host.stdin_pipe().HoldOpen();
    auto recovered = Recover();
    ASSERT_TRUE(recovered) << recovered.error().Display();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::windows
