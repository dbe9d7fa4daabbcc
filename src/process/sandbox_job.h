#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "common/poisonable_mutex.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace telvo::process {

// The Job object that holds the sandboxed command and everything it starts.
// Shared by the run, the launch and the parent-death monitor; the last
// holder closes the job handle, and kill-on-close then ends whatever is
// still in it.
class SandboxJob {
public:
    SandboxJob(platform::Platform& platform, platform::UniqueHandle job)
        : platform_(platform), job_(std::move(job)) {}

    platform::Platform& platform() const { return platform_; }
    platform::Handle handle() const { return job_.get(); }

    // Adds `failure` unless an equal text is already listed.
    void RecordFailure(const std::string& failure);
    // A copy of the list; a poisoned list reads as its one message.
    std::vector<std::string> Failures() const;

private:
    platform::Platform& platform_;
    platform::UniqueHandle job_;
    mutable PoisonableMutex failures_mutex_;
    std::vector<std::string> failures_;
};

// The flag the parent-death monitor sets once the controller has gone.
using ControllerGoneFlag = std::shared_ptr<std::atomic<bool>>;

inline constexpr std::uint32_t kJobDrainWaitMs = 5000;
inline constexpr std::uint32_t kJobDrainSliceMs = 100;
inline constexpr std::uint32_t kControllerGoneExitCode = 130;

// An unnamed job with kill-on-close as its only limit (breakaway not allowed)
// and all eight UI restrictions. On a failure the job is closed.
Result<std::shared_ptr<SandboxJob>> CreateSandboxJob(platform::Platform& platform);

// Terminates every process of the job with `exit_code` and proves the job
// empty by its accounting, read at once and then after each slice (100 ms)
// of a wait for the job of at most 5000 ms in all: "Windows sandbox job did not empty
// within 5000 ms", or, when the job was signalled but its accounting still
// counts processes at the end, "Windows sandbox job still has <n> active
// process(es)". Every failure is also listed on the job, once.
Result<void> TerminateAndDrainJob(SandboxJob& job, std::uint32_t exit_code);

// The job's termination failures so far.
std::vector<std::string> JobTerminationFailures(const SandboxJob& job);

// The number of active processes in the job.
Result<std::uint32_t> JobActiveProcessCount(const SandboxJob& job);

// The running monitor thread; dropping it closes the thread's handle, not
// the thread, which ends with the process or when standard input ends.
struct ParentMonitor {
    platform::UniqueHandle thread;
};

// Starts the thread "telvo-parent-monitor", which reads one byte of standard
// input; whatever ends that read means the controller is gone: it sets the
// flag and terminates and drains the job with exit code 130.
Result<ParentMonitor> StartParentMonitor(std::shared_ptr<SandboxJob> job, ControllerGoneFlag controller_gone);

}  // namespace telvo::process
