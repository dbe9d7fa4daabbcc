#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "contract/contract_host.h"
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

}  // namespace
}  // namespace telvo::contract
