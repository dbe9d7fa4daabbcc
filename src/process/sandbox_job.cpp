#include "process/sandbox_job.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "common/try.h"
#include "platform/kernel.h"
#include "platform/processes.h"
#include "winformat/little_endian.h"

namespace telvo::process {

namespace {

using platform::Platform;

constexpr const char* kPoisonedMessage = "job termination failure lock was poisoned";

std::string HexValue(std::uint32_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + digits;
}

Result<std::uint32_t> QueryActiveProcesses(const SandboxJob& job) {
    std::array<std::uint8_t, platform::job_layout::kBasicAccountingSize> accounting{};
    TELVO_TRY(Lift("QueryInformationJobObject(accounting)",
                   job.platform().processes.QueryInformationJobObject(
                       job.handle(), platform::job_information::kBasicAccounting, accounting)));
    return winformat::le::Read32(accounting, platform::job_layout::kActiveProcessesOffset);
}

// Whether a termination signals the job is not relied on: terminating a job
// that is already empty, or whose last processes were already ending, may
// signal nothing. The accounting decides, read at once and after every slice
// of a wait bounded by the one limit; once the job is signalled (it stays
// so), the slices are sleeps.
Result<void> Drain(SandboxJob& job, std::uint32_t exit_code) {
    Platform& platform = job.platform();
    TELVO_TRY(Lift("TerminateJobObject", platform.processes.TerminateJobObject(job.handle(), exit_code)));
    const std::uint64_t start = platform.kernel.GetTickCount64();
    bool signalled = false;
    for (;;) {
        TELVO_TRY_ASSIGN(const std::uint32_t active, QueryActiveProcesses(job));
        if (active == 0) return {};
        const std::uint64_t elapsed = platform.kernel.GetTickCount64() - start;
        if (elapsed >= kJobDrainWaitMs) {
            if (signalled) return Fail("Windows sandbox job still has " + std::to_string(active) + " active process(es)");
            return Fail("Windows sandbox job did not empty within " + std::to_string(kJobDrainWaitMs) + " ms");
        }
        const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(kJobDrainSliceMs, kJobDrainWaitMs - elapsed));
        if (signalled) {
            platform.kernel.Sleep(slice);
            continue;
        }
        TELVO_TRY_ASSIGN(const std::uint32_t result, Lift("WaitForSingleObject(job)",
                                                          platform.kernel.WaitForSingleObject(job.handle(), slice)));
        if (result == platform::wait_result::kObject0) {
            signalled = true;
        } else if (result != platform::wait_result::kTimeout) {
            return Fail("unexpected job wait result " + HexValue(result));
        }
    }
}

}  // namespace

void SandboxJob::RecordFailure(const std::string& failure) {
    PoisonableMutex::Guard guard(failures_mutex_);
    if (guard.poisoned()) return;
    if (std::find(failures_.begin(), failures_.end(), failure) == failures_.end()) failures_.push_back(failure);
}

std::vector<std::string> SandboxJob::Failures() const {
    PoisonableMutex::Guard guard(failures_mutex_);
    if (guard.poisoned()) return {kPoisonedMessage};
    return failures_;
}

Result<std::shared_ptr<SandboxJob>> CreateSandboxJob(Platform& platform) {
    TELVO_TRY_ASSIGN(const platform::Handle created, Lift("CreateJobObjectW", platform.processes.CreateJobObjectW()));
    platform::UniqueHandle job(platform.kernel, created);

    // JOBOBJECT_EXTENDED_LIMIT_INFORMATION: everything zero but the basic
    // limit flags, which are exactly kill-on-close.
    std::vector<std::uint8_t> limits(platform::job_layout::kExtendedLimitSize, 0);
    winformat::le::Write32(limits, platform::job_layout::kLimitFlagsOffset, platform::job_limit::kKillOnJobClose);
    TELVO_TRY(Lift("SetInformationJobObject(extended limits)",
                   platform.processes.SetInformationJobObject(job.get(), platform::job_information::kExtendedLimit,
                                                              limits)));

    std::vector<std::uint8_t> ui(platform::job_layout::kUiRestrictionsSize, 0);
    winformat::le::Write32(ui, 0, platform::job_ui_limit::kAll);
    TELVO_TRY(Lift("SetInformationJobObject(UI restrictions)",
                   platform.processes.SetInformationJobObject(job.get(), platform::job_information::kBasicUiRestrictions,
                                                              ui)));
    return std::make_shared<SandboxJob>(platform, std::move(job));
}

Result<void> TerminateAndDrainJob(SandboxJob& job, std::uint32_t exit_code) {
    auto drained = Drain(job, exit_code);
    if (!drained) job.RecordFailure(drained.error().Display());
    return drained;
}

std::vector<std::string> JobTerminationFailures(const SandboxJob& job) { return job.Failures(); }

Result<std::uint32_t> JobActiveProcessCount(const SandboxJob& job) { return QueryActiveProcesses(job); }

Result<ParentMonitor> StartParentMonitor(std::shared_ptr<SandboxJob> job, ControllerGoneFlag controller_gone) {
    Platform& platform = job->platform();
    TELVO_TRY_ASSIGN(const platform::Handle input,
                     Lift("GetStdHandle(STD_INPUT_HANDLE)", platform.console.GetStdHandle(platform::StdStream::input)));
    if (!platform::IsUsable(input)) {
        return Fail(Error::Win32("GetStdHandle(STD_INPUT_HANDLE)", platform::win32_error::kInvalidHandle));
    }
    auto thread = platform.processes.CreateThread([&platform, input, job, controller_gone] {
        std::array<std::byte, 1> byte{};
        // A byte, end of input or a failure: the controller is gone either way.
        (void)platform.kernel.ReadFile(input, byte);
        controller_gone->store(true);
        // A failure is listed on the job; the run reports it.
        (void)TerminateAndDrainJob(*job, kControllerGoneExitCode);
    });
    if (!thread) return Fail(Error::FromSys("CreateThread", thread.error()).Context("could not start parent-death monitor"));
    ParentMonitor monitor{platform::UniqueHandle(platform.kernel, *thread)};
    // The name only helps a debugger; a thread without it watches all the same.
    (void)platform.processes.SetThreadDescription(monitor.thread.get(), u"telvo-parent-monitor");
    return monitor;
}

}  // namespace telvo::process
