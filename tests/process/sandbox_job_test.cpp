#include "process/sandbox_job.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/poisonable_mutex.h"
#include "platform/sim/sim_host.h"
#include "winformat/little_endian.h"

namespace telvo::process {
namespace {

using platform::sim::ProcessBehaviour;
using platform::sim::SimHost;
using platform::sim::SimJob;

class SandboxJobTest : public ::testing::Test {
protected:
    void FailNext(const std::string& call, std::uint32_t code) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, SysError::Win32(code));
    }
    std::shared_ptr<SandboxJob> NewJob() { return CreateSandboxJob(host.platform()).value(); }
    std::shared_ptr<SimJob> SimJobOf(const SandboxJob& job) { return host.handles().FindAs<SimJob>(job.handle()); }
    std::shared_ptr<platform::sim::SimProcess> Start(const SandboxJob& job, ProcessBehaviour behaviour = {}) {
        return host.processes().StartInJob(job.handle(), behaviour);
    }

    SimHost host;
};

TEST_F(SandboxJobTest, CreatedJobKillsOnCloseOnlyAndRestrictsAllUi) {
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

TEST_F(SandboxJobTest, CreationFailuresNameTheCallAndCloseTheJob) {
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

TEST_F(SandboxJobTest, DrainEndsEveryProcessAndProvesTheJobEmpty) {
    auto job = NewJob();
    auto command = Start(*job);
    auto background = Start(*job, ProcessBehaviour{.exits_with = std::nullopt, .survives_termination_ms = 3000});
    ASSERT_EQ(JobActiveProcessCount(*job).value(), 2u);

    const auto before = host.clock().Now();
    ASSERT_TRUE(TerminateAndDrainJob(*job, 130));
    EXPECT_EQ(command->ExitCode(), 130u);
    EXPECT_EQ(background->ExitCode(), 130u);
    EXPECT_EQ(host.clock().Now() - before, 3000u);  // the wait lasted until the last one died
    EXPECT_EQ(JobActiveProcessCount(*job).value(), 0u);
    EXPECT_TRUE(JobTerminationFailures(*job).empty());

    // A job that is already empty drains at once.
    ASSERT_TRUE(TerminateAndDrainJob(*job, 0));
}

TEST_F(SandboxJobTest, ProcessThatOutlivesTheWaitIsListedOnce) {
    auto job = NewJob();
    Start(*job, ProcessBehaviour{.exits_with = std::nullopt, .survives_termination_ms = 20000});
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

TEST_F(SandboxJobTest, WaitAndAccountingFailures) {
    auto job = NewJob();
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
TEST_F(SandboxJobTest, NormalExitsDoNotSignalTheJob) {
    auto job = NewJob();
    Start(*job, ProcessBehaviour{.exits_with = 0, .survives_termination_ms = 0});
    EXPECT_EQ(JobActiveProcessCount(*job).value(), 0u);
    EXPECT_EQ(host.platform().kernel.WaitForSingleObject(job->handle(), 100).value(), platform::wait_result::kTimeout);
}

TEST_F(SandboxJobTest, ClosingTheLastHandleKillsWhatIsLeft) {
    auto job = NewJob();
    auto survivor = Start(*job);
    auto sim = SimJobOf(*job);
    job.reset();
    EXPECT_FALSE(survivor->Active());
    // A closed kill-on-close job takes no more processes.
    EXPECT_FALSE(sim->Assign(survivor));
}

TEST_F(SandboxJobTest, MonitorEndsTheRunWhenTheControllerCloses) {
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

TEST_F(SandboxJobTest, MonitorStartFailures) {
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
