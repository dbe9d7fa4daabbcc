#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/sim/fault_plan.h"
#include "platform/sim/handle_table.h"
#include "platform/sim/sim_appcontainer.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_console.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_pipes.h"
#include "platform/sim/sim_processes.h"
#include "platform/sim/sim_security.h"
#include "platform/sim/sim_service.h"
#include "platform/sim/sim_stdio.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_system.h"

// Opens every simulated seam call: the call is counted (with the arguments
// a test may watch), and when the fault plan says so the call returns its
// planned failure at once.
#define TELVO_SIM_ENTER(host, ...) \
    if (auto telvo_fault = (host).Enter(__VA_ARGS__)) return std::unexpected(*telvo_fault)

namespace telvo::platform::sim {

// A simulated Windows host that a test creates, fills and inspects. It starts
// as one process with a console: standard input, output and error are pipes
// that the test writes and reads.
class SimHost {
public:
    SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;
    ~SimHost();

    Platform& platform() { return platform_; }

    FaultPlan& faults() { return faults_; }
    SimClock& clock() { return clock_; }
    HandleTable& handles() { return handles_; }

    SimKernel& kernel() { return kernel_; }
    SimConsole& console() { return console_; }
    SimServiceControl& service() { return service_; }
    SimFiles& files() { return files_; }
    SimSync& sync() { return sync_; }
    SimSecurity& security() { return security_; }
    SimAppContainer& appcontainer() { return appcontainer_; }
    SimSystem& system() { return system_; }
    SimProcesses& processes() { return processes_; }
    SimPipes& pipes() { return pipes_; }
    SimInputStream& stdin_pipe() { return *stdin_; }
    SimOutputStream& stdout_pipe() { return *stdout_; }
    SimOutputStream& stderr_pipe() { return *stderr_; }

    // Every seam call starts here: it is counted (and logged with the
    // arguments given, when a test watches it), and fails when the fault
    // plan says so.
    std::optional<SysError> Enter(std::string_view call, std::initializer_list<std::uint64_t> arguments = {}) {
        auto failure = faults_.Enter(call, arguments);
        if (faults_.TakeCrash()) EndCrashedProcess();
        return failure;
    }

    // Crash injection (faults().CrashAfter): the dead process's handles are
    // closed as Windows closes them at process end (its mutexes abandoned,
    // its byte-range locks gone, its kill-on-close jobs killing their
    // processes); everything else on the host stays as it was.
    void EndCrashedProcess();
    // Another process of the same user starts on the host: fresh standard
    // streams and handles, no crash pending.
    void StartNewProcess();

private:
    FaultPlan faults_;
    SimClock clock_;
    HandleTable handles_;
    std::shared_ptr<SimInputStream> stdin_;
    std::shared_ptr<SimOutputStream> stdout_;
    std::shared_ptr<SimOutputStream> stderr_;
    SimKernel kernel_;
    SimConsole console_;
    SimServiceControl service_;
    SimFiles files_;
    SimSync sync_;
    SimSecurity security_;
    SimAppContainer appcontainer_;
    SimSystem system_;
    SimProcesses processes_;
    SimPipes pipes_;
    Platform platform_;
};

}  // namespace telvo::platform::sim
