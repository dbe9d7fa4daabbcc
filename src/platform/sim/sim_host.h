#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/sim/fault_plan.h"
#include "platform/sim/handle_table.h"
#include "platform/sim/sim_appcontainer.h"
#include "platform/sim/sim_change_log.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/sim_console.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_helper_process.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_pipes.h"
#include "platform/sim/sim_processes.h"
#include "platform/sim/sim_security.h"
#include "platform/sim/sim_service.h"
#include "platform/sim/sim_stdio.h"
#include "platform/sim/sim_sync.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_wfp.h"

// Opens every simulated seam call: the call is counted (with the arguments
// a test may watch), and when the fault plan says so the call returns its
// planned failure at once. The call counts as under way up to its return.
#define TELVO_SIM_ENTER(host, ...)                                          \
    const ::telvo::platform::sim::SimCall telvo_call = (host).Enter(__VA_ARGS__); \
    if (telvo_call.failure()) return std::unexpected(*telvo_call.failure())

namespace telvo::platform::sim {

// One seam call under way, from its entry to its return, as the process it
// acts for. A handle it made after that process ended closes as it returns:
// on Windows no thread of an ended process is left to make one.
class SimCall {
public:
    SimCall(SimHelperProcess& process, std::optional<SysError> failure);
    SimCall(const SimCall&) = delete;
    SimCall& operator=(const SimCall&) = delete;
    ~SimCall();
    // What the fault plan made the call fail with, if anything.
    const std::optional<SysError>& failure() const { return failure_; }

private:
    SimHelperProcess& process_;
    std::optional<SysError> failure_;
};

// A simulated Windows host that a test creates, fills and inspects. It starts
// with one process running the helper's code, with a console: standard input,
// output and error are pipes that the test writes and reads. A test may start
// more such processes and run code as them on other threads (Bind).
class SimHost {
public:
    SimHost();
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;
    ~SimHost();

    Platform& platform() { return platform_; }

    FaultPlan& faults() { return faults_; }
    // What processes change on the host, once started (sim_change_log.h).
    SimChangeLog& changes() { return changes_; }
    SimClock& clock() { return clock_; }
    // The process the calling thread acts as, and its handles.
    SimHelperProcess& caller();
    HandleTable& handles() { return caller().handles(); }

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
    SimWfp& wfp() { return wfp_; }
    SimInputStream& stdin_pipe() { return caller().stdin_pipe(); }
    SimOutputStream& stdout_pipe() { return caller().stdout_pipe(); }
    SimOutputStream& stderr_pipe() { return caller().stderr_pipe(); }

    // Another process running the helper's code, with the current process's
    // token: a second instance that a test runs beside the first.
    SimHelperProcess& StartHelperProcess();
    // Another process running the helper's code with `token`: one that the
    // Service Control Manager starts, say.
    SimHelperProcess& StartHelperProcessAs(std::shared_ptr<const SimToken> token);
    // `process` is ended from outside (killed): every later seam call of it
    // fails with ERROR_PROCESS_ABORTED, and its handles close.
    void KillProcess(SimHelperProcess& process);
    // While the returned binding lives, the calling OS thread acts as
    // `process` (threads it starts through the seam do too).
    class Binding {
    public:
        Binding(const SimHost& host, SimHelperProcess& process);
        Binding(const Binding&) = delete;
        Binding& operator=(const Binding&) = delete;
        ~Binding();

    private:
        const SimHost* previous_host_;
        SimHelperProcess* previous_process_;
    };
    [[nodiscard]] Binding Bind(SimHelperProcess& process) const { return Binding(*this, process); }

    // Every seam call starts here: it is counted (and logged with the
    // arguments given, when a test watches it), and fails when the fault
    // plan says so. It is under way while the returned value lives.
    [[nodiscard]] SimCall Enter(std::string_view call, std::initializer_list<std::uint64_t> arguments = {});

    // Crash injection (faults().CrashAfter): the dead process's handles are
    // closed as Windows closes them at process end (its mutexes abandoned,
    // its byte-range locks gone, its kill-on-close jobs killing their
    // processes); everything else on the host stays as it was.
    void EndCrashedProcess();
    // Another process of the same user starts on the host and becomes its
    // current process: its own id, standard streams and handles, no crash
    // pending. A current process that died or ended has finished ending first.
    void StartNewProcess();
    // A crashed current process is ended by the thread whose call met the
    // crash point, and another of its threads may still be inside a call:
    // once the current process has died or ended, this waits (real time,
    // bounded) until its handles are closed and none of its calls is under
    // way, as a controller's wait on the process returns only then.
    void AwaitEndOfCaller();
    // The current process ends as any process ends (its handles close, its
    // mutexes are abandoned, its kill-on-close jobs kill), and the next one
    // starts: what a controller sees between one request and the next.
    void EndProcessAndStartNext();
    // The controller of helper process `id` closes its standard input;
    // false when no helper process has that id.
    bool CloseHelperInput(std::uint32_t id);
    // The helper process with that id, if any (ended ones included).
    SimHelperProcess* FindHelperProcess(std::uint32_t id);
    // Whether the calling thread's process has died.
    bool CallerIsDead() { return faults_.IsDead(caller().id()); }

private:
    SimHelperProcess& AddHelperProcess(std::shared_ptr<const SimToken> token);
    void EndProcess(SimHelperProcess& process);

    // First: everything below records into it, up to its own destruction.
    SimChangeLog changes_;
    FaultPlan faults_;
    SimClock clock_;
    mutable std::mutex helpers_mutex_;
    std::vector<std::unique_ptr<SimHelperProcess>> helpers_;
    SimHelperProcess* current_ = nullptr;
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
    SimWfp wfp_;
    Platform platform_;
};

}  // namespace telvo::platform::sim
