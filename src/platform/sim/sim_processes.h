#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/processes.h"
#include "platform/sim/sim_job.h"
#include "platform/sim/sim_process.h"

namespace telvo::platform::sim {

class SimHost;
class SimHelperProcess;

// The program a command line names: the quoted first part, or the part up to
// the first space.
std::u16string ProgramOfCommandLine(const std::u16string& command_line);

// Of other processes (windows-notes section 5, 7.3), the simulated host
// assumes: OpenProcess finds helper processes and the processes they created
// by id (ERROR_INVALID_PARAMETER for an id that names none); LocalSystem may
// open any of them, another caller only processes of its own user, and an
// AppContainer caller none (ERROR_ACCESS_DENIED). DuplicateHandle out of
// another process needs PROCESS_DUP_HANDLE on its handle; the duplicate is
// granted the source's access (DUPLICATE_SAME_ACCESS) or the access asked
// for. A helper process's handle is signalled once the process has ended.
class SimProcesses final : public Processes {
public:
    explicit SimProcesses(SimHost& host) : host_(host) {}
    ~SimProcesses() override;

    SysResult<Handle> CreateJobObjectW() override;
    SysResult<void> SetInformationJobObject(Handle job, std::uint32_t information_class,
                                            std::span<const std::uint8_t> information) override;
    SysResult<std::uint32_t> QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                       std::span<std::uint8_t> buffer) override;
    SysResult<void> TerminateJobObject(Handle job, std::uint32_t exit_code) override;
    SysResult<Handle> CreateThread(std::function<void()> start) override;
    SysResult<void> SetThreadDescription(Handle thread, const std::u16string& description) override;

    SysResult<AttributeList> InitializeProcThreadAttributeList(std::uint32_t attribute_count, std::size_t size,
                                                               std::size_t& size_needed) override;
    SysResult<void> UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                              const ProcThreadAttributeValue& value) override;
    void DeleteProcThreadAttributeList(AttributeList list) override;
    SysResult<ProcessInformation> CreateProcessW(const CreateProcessParameters& parameters) override;
    SysResult<std::uint32_t> ResumeThread(Handle thread) override;
    SysResult<std::uint32_t> GetExitCodeProcess(Handle process) override;
    SysResult<void> TerminateProcess(Handle process, std::uint32_t exit_code) override;
    SysResult<std::uint32_t> GetProcessId(Handle process) override;
    SysResult<std::u16string> QueryFullProcessImageNameW(Handle process) override;
    std::uint32_t GetCurrentProcessId() override;
    SysResult<Handle> OpenProcess(std::uint32_t desired_access, std::uint32_t process_id) override;
    SysResult<Handle> DuplicateHandle(Handle source_process, Handle source, std::uint32_t desired_access,
                                      std::uint32_t options) override;
    SysResult<ProcessTimes> GetProcessTimes(Handle process) override;
    SysResult<bool> IsProcessInJob(Handle process, Handle job) override;
    SysResult<std::uint32_t> GetHandleInformation(Handle handle) override;
    SysResult<void> SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) override;

    // Test side: the program behind `command_line`: a process created with
    // exactly that command line runs `steps`. A command line without a
    // script cannot be started (ERROR_FILE_NOT_FOUND).
    void Script(std::u16string command_line, std::vector<ProcessStep> steps);
    // Test side: the program behind a command line that has no script, when
    // `fallback` gives one (nothing: the line cannot be started).
    using ScriptFallback = std::function<std::optional<std::vector<ProcessStep>>(const std::u16string& command_line)>;
    void ScriptUnscripted(ScriptFallback fallback);
    std::map<std::u16string, std::vector<ProcessStep>> Scripts() const;
    // Test side: a process that runs as `behaviour` says, in the job behind
    // `job` (a handle of the simulated process).
    std::shared_ptr<SimProcess> StartInJob(Handle job, ProcessBehaviour behaviour);
    // Every process created so far, in creation order.
    std::vector<std::shared_ptr<SimProcess>> Created() const;
    // Waits (in real time) until every thread started through the seam has
    // returned.
    void JoinThreads();
    // Test side: an OS thread acting as `process` runs `routine` (a process
    // the host started, its first thread); JoinThreads waits for it too.
    void StartThreadFor(SimHelperProcess& process, std::function<void()> routine);

    // The process id of a host's first helper process.
    static constexpr std::uint32_t kOwnProcessId = 4000;

private:
    struct PendingList {
        std::uint32_t capacity = 0;
        std::vector<std::pair<std::uint32_t, ProcThreadAttributeValue>> attributes;
    };

    std::uint32_t NextId();
    // The script for `command_line`, with `mutex_` held.
    std::optional<std::vector<ProcessStep>> ScriptFor(const std::u16string& command_line) const;
    // Puts the process in the jobs, in order; a job that takes no more
    // processes ends the process and fails the call.
    SysResult<void> EnterJobs(const std::shared_ptr<SimProcess>& process,
                              const std::vector<std::shared_ptr<SimJob>>& jobs);
    std::shared_ptr<SimProcess> NewProcess(ProcessImage image, std::vector<ProcessStep> script);
    // Runs the process's script on the calling thread.
    void Run(const std::shared_ptr<SimProcess>& process);
    // Carries out a file step; the line it reports.
    std::string FileStep(const SimProcess& process, const step::File& file);
    SysResult<void> StartChild(SimProcess& parent, const std::u16string& command_line, bool breakaway);
    // The jobs a child of a process in `jobs` (outermost first) starts in.
    static SysResult<std::vector<std::shared_ptr<SimJob>>> JobsOfChild(std::vector<std::shared_ptr<SimJob>> jobs,
                                                                       bool breakaway);
    void CloseControllerInput(const SimProcess& process);
    // Writes to one of the process's standard handles (as the value it has in the process).
    void WriteOutput(SimProcess& process, const std::string& text, Handle stream);

    SimHost& host_;
    mutable std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::uint32_t next_id_ = 7000;
    std::map<std::u16string, std::vector<ProcessStep>> scripts_;
    ScriptFallback fallback_;
    std::vector<std::shared_ptr<SimProcess>> processes_;
    std::map<std::uint64_t, PendingList> lists_;
    std::uint64_t next_list_ = 1;
};

}  // namespace telvo::platform::sim
