#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "contract/contract_processes.h"
#include "platform/file_constants.h"
#include "platform/kernel.h"
#include "platform/processes.h"
#include "platform/types.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"

namespace telvo::contract {
namespace {

using namespace platform;

class ProcessesContract : public ::testing::Test {
protected:
    void SetUp() override {
        cmd = CommandProcessor(platform);
        ASSERT_FALSE(cmd.empty());
    }

    // A child of `cmd` with `arguments`, suspended, with `attributes` and the
    // standard handles given.
    SysResult<ProcessInformation> Start(const std::u16string& arguments, AttributeList attributes, Handle output,
                                        bool inherit_handles = true) {
        return StartSuspended(platform, cmd, arguments, attributes, output, inherit_handles);
    }

    UniqueHandle NewJob(std::uint32_t limit_flags) {
        UniqueHandle job(platform.kernel, platform.processes.CreateJobObjectW().value());
        std::vector<std::uint8_t> limits(job_layout::kExtendedLimitSize, 0);
        winformat::le::Write32(limits, job_layout::kLimitFlagsOffset, limit_flags);
        EXPECT_TRUE(platform.processes.SetInformationJobObject(job.get(), job_information::kExtendedLimit, limits));
        return job;
    }

    std::unique_ptr<ContractHost> host = MakeContractHost();
    Platform& platform = host->platform();
    std::u16string cmd;
};

TEST_F(ProcessesContract, SuspendedChildInheritsOnlyItsListedOutputAndRunsOnResume) {
    const std::u16string arguments = u"echo telvo& exit 7";
    host->DefineCommand(CommandLine(cmd, arguments), "telvo\r\n", 7);
    const std::u16string output_path = host->ScratchDirectory() + u"\\output.txt";
    auto opened = platform.files.CreateFileW(output_path, file_access::kGenericWrite,
                                             file_share::kRead | file_share::kWrite,
                                             creation_disposition::kCreateAlways, 0);
    ASSERT_TRUE(opened) << opened.error().code;
    UniqueHandle output(platform.kernel, *opened);
    ASSERT_TRUE(platform.processes.SetHandleInformation(output.get(), handle_flag::kInherit, handle_flag::kInherit));
    UniqueHandle job = NewJob(0);

    UniqueAttributeList attributes = NewAttributeList(platform.processes, 2);
    ASSERT_TRUE(platform.processes.UpdateProcThreadAttribute(attributes.get(), proc_thread_attribute::kHandleList,
                                                             std::vector<Handle>{output.get()}));
    ASSERT_TRUE(platform.processes.UpdateProcThreadAttribute(attributes.get(), proc_thread_attribute::kJobList,
                                                             std::vector<Handle>{job.get()}));
    auto created = Start(arguments, attributes.get(), output.get());
    ASSERT_TRUE(created) << created.error().code;
    UniqueHandle process(platform.kernel, created->process);
    UniqueHandle thread(platform.kernel, created->thread);
    EXPECT_EQ(platform.processes.GetProcessId(process.get()).value(), created->process_id);

    // Suspended: alive, not signalled, and already in the job.
    EXPECT_EQ(platform.processes.GetExitCodeProcess(process.get()).value(), kStillActive);
    EXPECT_EQ(platform.kernel.WaitForSingleObject(process.get(), 100).value(), wait_result::kTimeout);
    EXPECT_EQ(ActiveProcesses(platform, job.get()), 1u);

    EXPECT_EQ(platform.processes.ResumeThread(thread.get()).value(), 1u);
    EXPECT_EQ(platform.kernel.WaitForSingleObject(process.get(), 20000).value(), wait_result::kObject0);
    EXPECT_EQ(platform.processes.GetExitCodeProcess(process.get()).value(), 7u);

    output.reset();
    // Under Wine the child's handle may outlive the signalled process for a moment.
    auto reopened = platform.files.CreateFileW(output_path, file_access::kGenericRead,
                                               file_share::kRead | file_share::kWrite,
                                               creation_disposition::kOpenExisting, 0);
    ASSERT_TRUE(reopened) << reopened.error().code;
    UniqueHandle written(platform.kernel, *reopened);
    std::array<std::byte, 64> bytes{};
    const auto read = platform.kernel.ReadFile(written.get(), bytes);
    ASSERT_TRUE(read);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), *read), "telvo\r\n");
}

TEST_F(ProcessesContract, KillOnCloseEndsARunningChild) {
    const std::u16string arguments = u"for /l %i in (1,0,2) do @rem";
    host->DefineCommand(CommandLine(cmd, arguments), "", std::nullopt);
    UniqueHandle job = NewJob(job_limit::kKillOnJobClose);
    UniqueAttributeList attributes = NewAttributeList(platform.processes, 1);
    ASSERT_TRUE(platform.processes.UpdateProcThreadAttribute(attributes.get(), proc_thread_attribute::kJobList,
                                                             std::vector<Handle>{job.get()}));
    auto created = Start(arguments, attributes.get(), kNullHandle, false);
    ASSERT_TRUE(created) << created.error().code;
    UniqueHandle process(platform.kernel, created->process);
    UniqueHandle thread(platform.kernel, created->thread);
    EXPECT_EQ(platform.processes.ResumeThread(thread.get()).value(), 1u);
    EXPECT_EQ(platform.kernel.WaitForSingleObject(process.get(), 200).value(), wait_result::kTimeout);
    EXPECT_EQ(platform.processes.GetExitCodeProcess(process.get()).value(), kStillActive);

    job.reset();
    EXPECT_EQ(platform.kernel.WaitForSingleObject(process.get(), 10000).value(), wait_result::kObject0);
    EXPECT_EQ(platform.processes.GetExitCodeProcess(process.get()).value(), 0u);
}

TEST_F(ProcessesContract, InheritFlagRoundTripsAndAnUnknownHandleIsRefused) {
    UniqueHandle job(platform.kernel, platform.processes.CreateJobObjectW().value());
    EXPECT_EQ(platform.processes.GetHandleInformation(job.get()).value(), 0u);
    ASSERT_TRUE(platform.processes.SetHandleInformation(job.get(), handle_flag::kInherit, handle_flag::kInherit));
    EXPECT_EQ(platform.processes.GetHandleInformation(job.get()).value(), handle_flag::kInherit);
    // Bits outside the mask stay as they are.
    ASSERT_TRUE(platform.processes.SetHandleInformation(job.get(), handle_flag::kProtectFromClose, 0));
    EXPECT_EQ(platform.processes.GetHandleInformation(job.get()).value(), handle_flag::kInherit);
    ASSERT_TRUE(platform.processes.SetHandleInformation(job.get(), handle_flag::kInherit, 0));
    EXPECT_EQ(platform.processes.GetHandleInformation(job.get()).value(), 0u);

    const Handle closed = job.get();
    job.reset();
    auto refused = platform.processes.GetHandleInformation(closed);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(win32_error::kInvalidHandle));
}

}  // namespace
}  // namespace telvo::contract
