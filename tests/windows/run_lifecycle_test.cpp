// Whole runs beside other runs and a controller that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "run_fixture.h"
#include "windows/global_locks.h"

namespace telvo::windows {
namespace {

using namespace testing;
namespace step = platform::sim::step;

class RunLifecycle : public WholeRunTest {};
TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS(RunLifecycle);

// While one run's command runs, another run of the same user, in another
// process, grants, runs and cleans up on a tree that holds the first one's:
// the ACL mutation lock is held only while a run changes DACLs.
TEST_P(RunLifecycle, TwoRunsOfOneUserOnOverlappingTreesTakeTurnsAndBothCleanUp) {
    platform::sim::SimHelperProcess& second = host.StartHelperProcess();
    protocol::Run inner = run;
    inner.root = "C:\\work";
    inner.cwd = "C:\\work";
    inner.command = "inner";
    Script("inner", {step::File{step::File::Action::write, u"C:\\work\\ws\\inner.txt", "i"}, step::Exit{4}});
    Result<std::int32_t> inner_result = Fail("not run");
    Script("outer", {step::HostCall{[&](platform::sim::SimProcess&) {
                         std::thread second_run([&] {
                             const auto binding = host.Bind(second);
                             host.stdin_pipe().HoldOpen();
                             inner_result = ExecuteRequest(platform(), inner);
                             host.stdin_pipe().CloseWriter();
                         });
                         second_run.join();
                     }},
                     step::File{step::File::Action::write, u"C:\\work\\ws\\outer.txt", "o"}, step::Exit{5}});
    auto outer = Run("outer");
    ASSERT_TRUE(outer) << ErrorOf(outer);
    EXPECT_EQ(*outer, 5);
    ASSERT_TRUE(inner_result) << ErrorOf(inner_result);
    EXPECT_EQ(*inner_result, 4);
    EXPECT_EQ(second.stdout_pipe().Bytes(), "write C:\\work\\ws\\inner.txt: ok\n");
    EXPECT_EQ(host.stdout_pipe().Bytes(), "write C:\\work\\ws\\outer.txt: ok\n");
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// Another user's run holds the metadata lock for 5 s: this run waits for it
// and goes on.
TEST_P(RunLifecycle, ARunWaitsForAnotherUsersMetadataLockAndProceeds) {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = Sid::Make(winformat::sid_authority::kNt, {21, 8, 8, 8, 1002});
    descriptor.group = descriptor.owner;
    descriptor.dacl = winformat::AclSlot(MakeAcl({Ace::Allowed(0x120000, winformat::well_known::AuthenticatedUsers()),
                                                  Ace::Allowed(0x120000, winformat::well_known::LocalSystem()),
                                                  Ace::Allowed(0x20000, winformat::well_known::OwnerRights())}));
    const auto held = host.sync().PlantMutex(kMetadataLockName, descriptor.ToSelfRelative());
    const std::uint64_t start = host.clock().Now();
    held->HoldByOtherProcessUntil(start + 5000);
    Script("build", {step::Exit{3}});
    auto exit_code = Run("build");
    ASSERT_TRUE(exit_code) << ErrorOf(exit_code);
    EXPECT_EQ(*exit_code, 3);
    EXPECT_GE(host.clock().Now(), start + 5000);
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

// The controller closes its end of standard input at each phase of a run:
// the monitor ends the command's processes with 130, and the run undoes all
// it did.
class ControllerDeath : public WholeRunTest {
protected:
    // The controller goes away as the `nth` use of `call` from now begins,
    // and the monitor has acted on it before the call goes on.
    void GoAwayAt(const std::string& call, std::uint64_t nth = 1) {
        host.faults().OnCall(call, host.faults().Count(call) + nth, [this] { GoAwayNow(); });
    }
    void GoAwayNow() {
        host.stdin_pipe().CloseWriter();
        host.processes().JoinThreads();
    }
};
TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS(ControllerDeath);

TEST_P(ControllerDeath, DuringSetupGrantsOrVerificationTheCommandNeverRuns) {
    struct Phase {
        const char* call;
        const char* message;
    };
    // The monitor's thread is named as it starts; the grants write DACLs; the
    // verification asks AccessCheck.
    for (const Phase& phase : {Phase{"SetThreadDescription", "sandbox command failed: controller closed stdin"},
                               Phase{"NtSetSecurityObject", "sandbox command failed: controller closed stdin"},
                               Phase{"AccessCheck", "sandbox command failed: "}}) {
        SCOPED_TRACE(phase.call);
        host.StartNewProcess();
        host.stdin_pipe().HoldOpen();
        Script("build", {step::File{step::File::Action::write, u"C:\\work\\ws\\out.txt", "o"}, step::Exit{3}});
        GoAwayAt(phase.call);
        auto result = Run("build");
        ASSERT_FALSE(result);
        EXPECT_TRUE(result.error().Display().starts_with(phase.message)) << result.error().Display();
        EXPECT_EQ(host.stdout_pipe().Bytes(), "");
        EXPECT_FALSE(files().Lookup(u"C:\\work\\ws\\out.txt"));
        EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    }
}

TEST_P(ControllerDeath, WhileTheCommandRunsItsProcessesEndWith130) {
    Script("child", {step::Hang{}});
    Script("build", {step::StartChild{u"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"child\""},
                     step::HostCall{[this](platform::sim::SimProcess&) { GoAwayNow(); }}, step::Hang{}});
    auto result = Run("build");
    ASSERT_TRUE(result) << ErrorOf(result);
    EXPECT_EQ(*result, 130);
    for (const auto& process : host.processes().Created()) {
        EXPECT_EQ(process->ExitCode(), 130u) << process->image().command_line.size();
    }
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace telvo::windows
