#include "process/sandbox_job.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/poisonable_mutex.h"
#include "platform/sim/sim_host.h"
#include "support/job_signal_setting.h"
#include "winformat/little_endian.h"

namespace telvo::process {
namespace {

using platform::sim::ProcessBehaviour;
using platform::sim::SimHost;
using platform::sim::SimJob;

// Under both settings of whether terminating an empty job signals it.
class SandboxJobTest : public ::testing::TestWithParam<bool> {
protected:
    void FailNext(const std::string& call, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, SysError::Win32(code));
    }
    std::shared_ptr<SandboxJob> NewJob() { return CreateSandboxJob(host.platform()).value(); }
    std::shared_ptr<SimJob> SimJobOf(const SandboxJob& job) { return host.handles().FindAs<SimJob>(job.handle()); }
    std::shared_ptr<platform::sim::SimProcess> Start(const SandboxJob& job, ProcessBehaviour behaviour = {}) {
        return host.processes().StartInJob(job.handle(), behaviour);
    }

    // The process ends on its own (or someone else terminates it): its jobs
    // count it until it is gone, `ms` later.
    std::shared_ptr<platform::sim::SimProcess> StartEnding(const SandboxJob& job, std::uint64_t ms) {
        auto process = Start(job, ProcessBehaviour{.exits_with = std::nullopt, .survives_termination_ms = ms});
        process->Terminate(9);
        return process;
    }
    bool Signalled(const SandboxJob& job) {
        return host.platform().kernel.WaitForSingleObject(job.handle(), 0).value() == platform::wait_result::kObject0;
    }

    telvo::testing::EmptyJobSignalSetting setting{GetParam()};
    SimHost host;
};
TELVO_UNDER_BOTH_EMPTY_JOB_SETTINGS(SandboxJobTest);

TEST_P(SandboxJobTest, CreatedJobKillsOnCloseOnlyAndRestrictsAllUi) {
    auto job = NewJob();
    auto sim = SimJobOf(*job);
    ASSERT_TRUE(sim);
    EXPECT_EQ(sim->LimitFlags(), platform::job_limit::kKillOnJobClose);
    EXPECT_EQ(sim->UiRestrictions(), 0xFFu);

    // Every other field of the extended limits is zero: no process, memory,
    // time or priority limits, and no breakaway.
    std::vector<std::uint8_t> limits(platform::job_layout::kExtendedLimitSize);
    ASSERT_TRUE(host.platform().processes.QueryInformationJobObject(job->handle(),
                                                                     platform::job_information::kExtendedLimit, limits));
    winformat::le::Write32(limits, platform::job_layout::kLimitFlagsOffset, 0);
    EXPECT_EQ(limits, std::vector<std::uint8_t>(platform::job_layout::kExtendedLimitSize, 0));
}

TEST_P(SandboxJobTest, CreationFailuresNameTheCallAndCloseTheJob) {
    const std::size_t baseline = host.handles().OpenCount();
    const std::pair<const char*, const char*> cases[] = {
        {"CreateJobObjectW", "CreateJobObjectW failed with Win32 error 8"},
        {"SetInformationJobObject", "SetInformationJobObject(extended limits) failed with Win32 error 8"},
    };
    for (const auto& [call, message] : cases) {
        FailNext(call, 8);
        auto job = CreateSandboxJob(host.platform());
        ASSERT_FALSE(job);
        EXPECT_EQ(job.error().Display(), message);
        EXPECT_EQ(host.handles().OpenCount(), baseline);
    }
    host.faults().FailOn("SetInformationJobObject", host.faults().Count("SetInformationJobObject") + 2,
                         SysError::Win32(5));
    auto job = CreateSandboxJob(host.platform());
    ASSERT_FALSE(job);
    EXPECT_EQ(job.error().Display(), "SetInformationJobObject(UI restrictions) failed with Win32 error 5");
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_P(SandboxJobTest, DrainEndsEveryProcessAndProvesTheJobEmpty) {
    auto job = NewJob();
    auto command = Start(*job);
    auto background = Start(*job, ProcessBehaviour{.exits_with = std::nullopt, .survives_termination_ms = 3000});
    ASSERT_EQ(JobActiveProcessCount(*job).value(), 2u);

    const auto before = host.clock().Now();
    ASSERT_TRUE(TerminateAndDrainJob(*job, 130));
    // The job stops counting a process as its termination begins: no wait.
    EXPECT_EQ(host.clock().Now(), before);
    EXPECT_EQ(command->ExitCode(), 130u);
    EXPECT_EQ(background->ExitCode(), platform::kStillActive);
    host.clock().Advance(3000);
    EXPECT_EQ(background->ExitCode(), 130u);
    EXPECT_TRUE(JobTerminationFailures(*job).empty());
}

// The usual end of a run: the command has exited and left nothing; its job
// may never be signalled.
TEST_P(SandboxJobTest, JobWhoseProcessesExitedDrainsAtOnce) {
    auto job = NewJob();
    Start(*job, ProcessBehaviour{.exits_with = 0, .survives_termination_ms = 0});
    const auto before = host.clock().Now();
    ASSERT_TRUE(TerminateAndDrainJob(*job, 0)) << JobTerminationFailures(*job).at(0);
    EXPECT_EQ(host.clock().Now(), before);
    EXPECT_EQ(Signalled(*job), GetParam());
    ASSERT_TRUE(TerminateAndDrainJob(*job, 0));
    EXPECT_TRUE(JobTerminationFailures(*job).empty());
}

// A process whose end had begun before the job's termination keeps it
// unsignalled: the accounting, read between slices of the wait, proves the
// job empty once the process is gone.
TEST_P(SandboxJobTest, ProcessAlreadyEndingIsWaitedForInSlices) {
    auto job = NewJob();
    auto ending = StartEnding(*job, 3000);
    const auto before = host.clock().Now();
    ASSERT_TRUE(TerminateAndDrainJob(*job, 130)) << JobTerminationFailures(*job).at(0);
    EXPECT_EQ(host.clock().Now() - before, 3000u);
    EXPECT_FALSE(Signalled(*job));
    EXPECT_EQ(ending->ExitCode(), 9u);
}

TEST_P(SandboxJobTest, ProcessThatOutlivesTheWaitIsListedOnce) {
    auto job = NewJob();
    StartEnding(*job, 20000);
    const auto before = host.clock().Now();
    auto first = TerminateAndDrainJob(*job, 130);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().Display(), "Windows sandbox job did not empty within 5000 ms");
    EXPECT_EQ(host.clock().Now() - before, 5000u);

    FailNext("TerminateJobObject", 5);
    auto second = TerminateAndDrainJob(*job, 130);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().Display(), "TerminateJobObject failed with Win32 error 5");
    // Let the wait time out a second time: its text is already listed.
    EXPECT_FALSE(TerminateAndDrainJob(*job, 130));
    EXPECT_EQ(JobTerminationFailures(*job),
              (std::vector<std::string>{"Windows sandbox job did not empty within 5000 ms",
                                        "TerminateJobObject failed with Win32 error 5"}));
}

// A job stays signalled: a later drain cannot wait on it, and goes on
// reading the accounting for the same 5000 ms.
TEST_P(SandboxJobTest, SignalledJobThatStillCountsAProcessIsNotProvedEmpty) {
    auto job = NewJob();
    Start(*job);
    ASSERT_TRUE(TerminateAndDrainJob(*job, 130));
    ASSERT_TRUE(Signalled(*job));

    StartEnding(*job, 20000);
    const auto before = host.clock().Now();
    auto still = TerminateAndDrainJob(*job, 130);
    ASSERT_FALSE(still);
    EXPECT_EQ(still.error().Display(), "Windows sandbox job still has 1 active process(es)");
    EXPECT_EQ(host.clock().Now() - before, 5000u);

    StartEnding(*job, 1000);
    host.clock().Advance(20000);
    ASSERT_TRUE(TerminateAndDrainJob(*job, 130));
}

TEST_P(SandboxJobTest, WaitAndAccountingFailures) {
    auto job = NewJob();
    StartEnding(*job, 1000);
    FailNext("WaitForSingleObject", 6);
    EXPECT_EQ(TerminateAndDrainJob(*job, 1).error().Display(), "WaitForSingleObject(job) failed with Win32 error 6");
    FailNext("QueryInformationJobObject", 5);
    EXPECT_EQ(TerminateAndDrainJob(*job, 1).error().Display(),
              "QueryInformationJobObject(accounting) failed with Win32 error 5");
    FailNext("QueryInformationJobObject", 5);
    EXPECT_EQ(JobActiveProcessCount(*job).error().Display(),
              "QueryInformationJobObject(accounting) failed with Win32 error 5");
}

// A job whose processes exit on their own is not signalled: only a
// termination through the job signals it.
TEST_P(SandboxJobTest, NormalExitsDoNotSignalTheJob) {
    auto job = NewJob();
    Start(*job, ProcessBehaviour{.exits_with = 0, .survives_termination_ms = 0});
    EXPECT_EQ(JobActiveProcessCount(*job).value(), 0u);
    EXPECT_EQ(host.platform().kernel.WaitForSingleObject(job->handle(), 100).value(), platform::wait_result::kTimeout);
}

TEST_P(SandboxJobTest, ClosingTheLastHandleKillsWhatIsLeft) {
    auto job = NewJob();
    auto survivor = Start(*job);
    auto sim = SimJobOf(*job);
    job.reset();
    EXPECT_FALSE(survivor->Active());
    // A closed kill-on-close job takes no more processes.
    EXPECT_FALSE(sim->Assign(survivor));
}

TEST_P(SandboxJobTest, MonitorEndsTheRunWhenTheControllerCloses) {
    host.stdin_pipe().HoldOpen();
    auto job = NewJob();
    auto command = Start(*job);
    auto gone = std::make_shared<std::atomic<bool>>(false);
    auto monitor = StartParentMonitor(job, gone);
    ASSERT_TRUE(monitor) << monitor.error().Display();
    EXPECT_EQ(host.handles().FindAs<platform::sim::SimThread>(monitor->thread.get())->description(),
              u"telvo-parent-monitor");
    EXPECT_FALSE(gone->load());
    EXPECT_TRUE(command->Active());

    host.stdin_pipe().CloseWriter();
    host.processes().JoinThreads();
    EXPECT_TRUE(gone->load());
    EXPECT_EQ(command->ExitCode(), kControllerGoneExitCode);
    EXPECT_TRUE(JobTerminationFailures(*job).empty());
}

TEST_P(SandboxJobTest, MonitorStartFailures) {
    auto job = NewJob();
    auto gone = std::make_shared<std::atomic<bool>>(false);
    const platform::Handle input = host.platform().console.GetStdHandle(platform::StdStream::input).value();

    host.console().SetStdHandle(platform::StdStream::input, platform::kInvalidHandle);
    EXPECT_EQ(StartParentMonitor(job, gone).error().Display(),
              "GetStdHandle(STD_INPUT_HANDLE) failed with Win32 error 6");
    host.console().SetStdHandle(platform::StdStream::input, platform::kNullHandle);
    EXPECT_FALSE(StartParentMonitor(job, gone));

    host.console().SetStdHandle(platform::StdStream::input, input);
    FailNext("CreateThread", 8);
    EXPECT_EQ(StartParentMonitor(job, gone).error().Display(),
              "could not start parent-death monitor: CreateThread failed with Win32 error 8");
    EXPECT_FALSE(gone->load());
}

TEST(PoisonableMutex, HolderThatPanicsPoisonsLaterHolders) {
    PoisonableMutex mutex;
    {
        PoisonableMutex::Guard guard(mutex);
        EXPECT_FALSE(guard.poisoned());
    }
    EXPECT_THROW(
        {
            PoisonableMutex::Guard guard(mutex);
            throw std::runtime_error("panic");
        },
        std::runtime_error);
    PoisonableMutex::Guard after(mutex);
    EXPECT_TRUE(after.poisoned());
}

}  // namespace
}  // namespace telvo::process
