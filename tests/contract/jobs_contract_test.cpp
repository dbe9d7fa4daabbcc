#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "contract/contract_processes.h"
#include "platform/kernel.h"
#include "platform/processes.h"
#include "platform/types.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"

namespace telvo::contract {
namespace {

using platform::job_information::kBasicAccounting;
using platform::job_information::kBasicLimit;
using platform::job_information::kBasicUiRestrictions;
using platform::job_information::kExtendedLimit;
namespace layout = platform::job_layout;

// An unnamed job, or an empty guard when the call failed.
platform::UniqueHandle NewJob(platform::Platform& platform) {
    auto created = platform.processes.CreateJobObjectW();
    return created ? platform::UniqueHandle(platform.kernel, *created) : platform::UniqueHandle();
}

TEST(JobsContract, LimitsAndUiRestrictionsReadBackAsSet) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    platform::UniqueHandle job = NewJob(platform);
    ASSERT_TRUE(job);

    std::vector<std::uint8_t> limits(layout::kExtendedLimitSize, 0);
    winformat::le::Write32(limits, layout::kLimitFlagsOffset, platform::job_limit::kKillOnJobClose);
    ASSERT_TRUE(platform.processes.SetInformationJobObject(job.get(), kExtendedLimit, limits));
    std::vector<std::uint8_t> read(layout::kExtendedLimitSize, 0xCC);
    auto returned = platform.processes.QueryInformationJobObject(job.get(), kExtendedLimit, read);
    ASSERT_TRUE(returned);
    EXPECT_EQ(*returned, layout::kExtendedLimitSize);
    // Wine answers the extended limits with zeros, whatever was set.
    if (std::string(host->name()) == "simulated") {
        EXPECT_EQ(winformat::le::Read32(read, layout::kLimitFlagsOffset), platform::job_limit::kKillOnJobClose);
    }

    std::vector<std::uint8_t> ui(layout::kUiRestrictionsSize, 0);
    winformat::le::Write32(ui, 0, platform::job_ui_limit::kAll);
    ASSERT_TRUE(platform.processes.SetInformationJobObject(job.get(), kBasicUiRestrictions, ui));

    // Kill-on-close is an extended-only flag: the basic class refuses it.
    std::vector<std::uint8_t> basic(layout::kBasicLimitSize, 0);
    winformat::le::Write32(basic, layout::kLimitFlagsOffset, platform::job_limit::kKillOnJobClose);
    auto refused = platform.processes.SetInformationJobObject(job.get(), kBasicLimit, basic);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(platform::win32_error::kInvalidParameter));
}

TEST(JobsContract, NewJobIsEmptyAndNotSignalled) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    platform::UniqueHandle job = NewJob(platform);
    ASSERT_TRUE(job);

    std::vector<std::uint8_t> accounting(layout::kBasicAccountingSize, 0xCC);
    auto returned = platform.processes.QueryInformationJobObject(job.get(), kBasicAccounting, accounting);
    ASSERT_TRUE(returned);
    EXPECT_EQ(*returned, layout::kBasicAccountingSize);
    EXPECT_EQ(winformat::le::Read32(accounting, layout::kActiveProcessesOffset), 0u);
    EXPECT_EQ(platform.kernel.WaitForSingleObject(job.get(), 0).value(), platform::wait_result::kTimeout);

    // The accounting structure does not fit a smaller buffer.
    std::vector<std::uint8_t> small(layout::kBasicAccountingSize - 8, 0);
    auto short_read = platform.processes.QueryInformationJobObject(job.get(), kBasicAccounting, small);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error(), SysError::Win32(platform::win32_error::kBadLength));
}

TEST(JobsContract, ThreadRunsItsRoutineAndItsHandleSignalsWhenDone) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    std::atomic<int> ran{0};
    auto created = platform.processes.CreateThread([&ran] { ran.fetch_add(1); });
    ASSERT_TRUE(created);
    platform::UniqueHandle thread(platform.kernel, *created);
    EXPECT_TRUE(platform.processes.SetThreadDescription(thread.get(), u"telvo-contract"));
    // A real thread: wait for it, within a bound, before looking.
    std::uint32_t waited = platform::wait_result::kTimeout;
    for (int attempt = 0; attempt < 500 && waited == platform::wait_result::kTimeout; ++attempt) {
        waited = platform.kernel.WaitForSingleObject(thread.get(), 10).value();
    }
    EXPECT_EQ(waited, platform::wait_result::kObject0);
    EXPECT_EQ(ran.load(), 1);
}

constexpr std::size_t kTotalProcessesOffset = 36;

// A job with one child of the command processor in it, resumed: it runs
// `arguments`, which the simulated host plays as `exit_code` (none: it runs
// until killed).
class JobWithChild : public ::testing::Test {
protected:
    void Start(const std::u16string& arguments, std::optional<std::uint32_t> exit_code) {
        const std::u16string cmd = CommandProcessor(p());
        ASSERT_FALSE(cmd.empty());
        host->DefineCommand(CommandLine(cmd, arguments), "", exit_code);
        platform::UniqueAttributeList attributes = NewAttributeList(p().processes, 1);
        ASSERT_TRUE(p().processes.UpdateProcThreadAttribute(attributes.get(), platform::proc_thread_attribute::kJobList,
                                                            std::vector<platform::Handle>{job.get()}));
        auto started = StartSuspended(p(), cmd, arguments, attributes.get(), platform::kNullHandle, false);
        ASSERT_TRUE(started) << started.error().code;
        process = platform::UniqueHandle(p().kernel, started->process);
        platform::UniqueHandle thread(p().kernel, started->thread);
        ASSERT_EQ(p().processes.ResumeThread(thread.get()).value_or(0), 1u);
    }
    platform::Platform& p() { return host->platform(); }
    std::uint32_t Wait(platform::Handle handle, std::uint32_t milliseconds) {
        return p().kernel.WaitForSingleObject(handle, milliseconds).value_or(platform::wait_result::kFailed);
    }

    std::unique_ptr<ContractHost> host = MakeContractHost();
    platform::UniqueHandle job = NewJob(host->platform());
    platform::UniqueHandle process;
};

// Terminating a job ends its processes with the code given and signals the
// job; the wait that follows returns at once, also for a second terminate.
TEST_F(JobWithChild, TerminatingALiveJobEndsItsProcessesAndSignalsIt) {
    Start(u"for /l %i in (1,0,2) do @rem", std::nullopt);
    ASSERT_TRUE(process);
    EXPECT_EQ(ActiveProcesses(p(), job.get()), 1u);
    EXPECT_EQ(Wait(job.get(), 0), platform::wait_result::kTimeout);

    ASSERT_TRUE(p().processes.TerminateJobObject(job.get(), 7));
    EXPECT_EQ(Wait(job.get(), 5000), platform::wait_result::kObject0);
    EXPECT_EQ(Wait(process.get(), 5000), platform::wait_result::kObject0);
    EXPECT_EQ(p().processes.GetExitCodeProcess(process.get()).value_or(0), 7u);
    const std::vector<std::uint8_t> accounting = Accounting(p(), job.get());
    EXPECT_EQ(winformat::le::Read32(accounting, layout::kActiveProcessesOffset), 0u);
    EXPECT_GE(winformat::le::Read32(accounting, kTotalProcessesOffset), 1u);

    ASSERT_TRUE(p().processes.TerminateJobObject(job.get(), 8));
    EXPECT_EQ(Wait(job.get(), 0), platform::wait_result::kObject0);
}

// A process that ends on its own leaves the job's count and does not signal it.
TEST_F(JobWithChild, AProcessEndingOnItsOwnLeavesTheCountWithoutSignalling) {
    Start(u"exit 3", 3);
    ASSERT_TRUE(process);
    ASSERT_EQ(Wait(process.get(), 20000), platform::wait_result::kObject0);
    // The count drops as the process's end completes: a moment after its handle signals.
    std::uint32_t active = 1;
    for (int attempt = 0; attempt < 200 && active != 0; ++attempt) {
        active = ActiveProcesses(p(), job.get());
        if (active != 0) p().kernel.Sleep(10);
    }
    EXPECT_EQ(active, 0u);
    // The command processor may bring a helper of the console into the job (Wine does).
    EXPECT_GE(winformat::le::Read32(Accounting(p(), job.get()), kTotalProcessesOffset), 1u);
    EXPECT_EQ(Wait(job.get(), 0), platform::wait_result::kTimeout);
}

// Terminating a job that holds no process: Wine signals it, and so does the
// simulated host by default; an old kernel signalled nothing (see
// docs/windows-only-checks.md).
TEST(JobsContract, TerminatingAnEmptyJobSignalsIt) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    platform::UniqueHandle job = NewJob(platform);
    ASSERT_TRUE(job);
    ASSERT_TRUE(platform.processes.TerminateJobObject(job.get(), 1));
    EXPECT_EQ(platform.kernel.WaitForSingleObject(job.get(), 1000).value_or(0), platform::wait_result::kObject0);
    EXPECT_EQ(ActiveProcesses(platform, job.get()), 0u);
}

}  // namespace
}  // namespace telvo::contract
