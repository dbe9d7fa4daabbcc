#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/try.h"
#include "platform/kernel.h"
#include "platform/sim/sim_host.h"
#include "winformat/text.h"
#include "winformat/little_endian.h"
#include "winformat/mandatory_label.h"
#include "winformat/sddl.h"

namespace telvo::platform::sim {

std::u16string ProgramOfCommandLine(const std::u16string& command_line) {
    if (command_line.starts_with(u'"')) {
        const auto close = command_line.find(u'"', 1);
        return command_line.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    }
    return command_line.substr(0, command_line.find(u' '));
}

// ---- SimProcesses ----

SimProcesses::~SimProcesses() { JoinThreads(); }

SysResult<Handle> SimProcesses::CreateJobObjectW() {
    TELVO_SIM_ENTER(host_, "CreateJobObjectW");
    return host_.handles().Add(std::make_shared<SimJob>(host_.clock()), job_access::kAll);
}

SysResult<void> SimProcesses::SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                      std::span<const std::uint8_t> information) {
    TELVO_SIM_ENTER(host_, "SetInformationJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().Holds(job, job_access::kSetAttributes)) return Win32Failure(win32_error::kAccessDenied);
    return found->SetInformation(information_class, information);
}

SysResult<std::uint32_t> SimProcesses::QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                                 std::span<std::uint8_t> buffer) {
    TELVO_SIM_ENTER(host_, "QueryInformationJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().Holds(job, job_access::kQuery)) return Win32Failure(win32_error::kAccessDenied);
    return found->QueryInformation(information_class, buffer);
}

SysResult<void> SimProcesses::TerminateJobObject(Handle job, std::uint32_t exit_code) {
    TELVO_SIM_ENTER(host_, "TerminateJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().Holds(job, job_access::kTerminate)) return Win32Failure(win32_error::kAccessDenied);
    found->Terminate(exit_code);
    return {};
}

SysResult<Handle> SimProcesses::CreateThread(std::function<void()> start) {
    TELVO_SIM_ENTER(host_, "CreateThread");
    auto thread = std::make_shared<SimThread>();
    const Handle handle = host_.handles().Add(thread);
    // The new thread acts for the process that started it; it has ended once
    // what its routine holds is released.
    StartThreadFor(host_.caller(), [thread, start = std::move(start)]() mutable {
        std::exchange(start, nullptr)();
        thread->MarkEnded();
    });
    return handle;
}

SysResult<void> SimProcesses::SetThreadDescription(Handle thread, const std::u16string& description) {
    TELVO_SIM_ENTER(host_, "SetThreadDescription");
    auto found = host_.handles().FindAs<SimThread>(thread);
    if (!found) return std::unexpected(SysError::HResult(0x80070006));  // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)
    found->SetDescription(description);
    return {};
}

SysResult<std::uint32_t> SimProcesses::ResumeThread(Handle thread) {
    TELVO_SIM_ENTER(host_, "ResumeThread");
    auto found = host_.handles().FindAs<SimProcessThread>(thread);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().Holds(thread, thread_access::kSuspendResume)) return Win32Failure(win32_error::kAccessDenied);
    const std::uint32_t previous = found->Resume();
    if (previous == 1) Run(found->process());
    return previous;
}

SysResult<std::uint32_t> SimProcesses::GetExitCodeProcess(Handle process) {
    TELVO_SIM_ENTER(host_, "GetExitCodeProcess");
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().HoldsAnyOf(process, process_access::kQueryAny)) return Win32Failure(win32_error::kAccessDenied);
    return found->ExitCode();
}

SysResult<void> SimProcesses::TerminateProcess(Handle process, std::uint32_t exit_code) {
    TELVO_SIM_ENTER(host_, "TerminateProcess", {exit_code});
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().Holds(process, process_access::kTerminate)) return Win32Failure(win32_error::kAccessDenied);
    if (!found->Active()) {
        if (CurrentProcessAssumptions().terminating_an_exited_process_fails) {
            return Win32Failure(win32_error::kAccessDenied);
        }
        return {};
    }
    found->Terminate(exit_code);
    return {};
}

std::uint32_t SimProcesses::GetCurrentProcessId() {
    (void)host_.Enter("GetCurrentProcessId");
    return host_.caller().id();
}

SysResult<Handle> SimProcesses::OpenProcess(std::uint32_t desired_access, std::uint32_t process_id) {
    TELVO_SIM_ENTER(host_, "OpenProcess", {desired_access, process_id});
    std::shared_ptr<SimObject> object;
    const winformat::Sid* user = nullptr;
    if (SimHelperProcess* helper = host_.FindHelperProcess(process_id)) {
        auto opened = std::make_shared<SimHelperProcessObject>(*helper);
        user = &helper->token().identity.user;
        object = std::move(opened);
    } else {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(processes_.begin(), processes_.end(),
                                  [&](const std::shared_ptr<SimProcess>& process) { return process->id() == process_id; });
        if (found != processes_.end()) {
            user = &(*found)->token().user;
            object = *found;
        }
    }
    if (!object) return Win32Failure(win32_error::kInvalidParameter);
    const TokenIdentity& caller = host_.caller().token().identity;
    const bool system = caller.user == winformat::well_known::LocalSystem();
    if (!system && (caller.IsAppContainer() || caller.user != *user)) return Win32Failure(win32_error::kAccessDenied);
    return host_.handles().Add(std::move(object), desired_access);
}

SysResult<Handle> SimProcesses::DuplicateHandle(Handle source_process, Handle source, std::uint32_t desired_access,
                                                std::uint32_t options) {
    TELVO_SIM_ENTER(host_, "DuplicateHandle", {static_cast<std::uint64_t>(source), desired_access, options});
    std::shared_ptr<SimObject> object;
    std::uint32_t source_access = HandleTable::kEveryRight;
    if (source_process == kCurrentProcess) {
        object = host_.handles().Find(source);
        source_access = host_.handles().GrantedAccess(source).value_or(0);
    } else {
        const auto process_access = host_.handles().GrantedAccess(source_process);
        if (!process_access) return Win32Failure(win32_error::kInvalidHandle);
        if ((*process_access & platform::process_access::kDupHandle) == 0) return Win32Failure(win32_error::kAccessDenied);
        if (auto helper = host_.handles().FindAs<SimHelperProcessObject>(source_process)) {
            object = helper->process().handles().Find(source);
            source_access = helper->process().handles().GrantedAccess(source).value_or(0);
        } else if (auto child = host_.handles().FindAs<SimProcess>(source_process)) {
            object = child->FindHandle(source);
        } else {
            return Win32Failure(win32_error::kInvalidHandle);
        }
    }
    if (!object) return Win32Failure(win32_error::kInvalidHandle);
    const bool same_access = (options & duplicate_option::kSameAccess) != 0;
    return host_.handles().Add(std::move(object), same_access ? source_access : desired_access);
}

SysResult<ProcessTimes> SimProcesses::GetProcessTimes(Handle process) {
    TELVO_SIM_ENTER(host_, "GetProcessTimes");
    if (auto helper = host_.handles().FindAs<SimHelperProcessObject>(process)) {
        const std::uint64_t creation = helper->process().creation_time();
        return ProcessTimes{creation, helper->process().Ended() ? creation + 1 : 0};
    }
    if (auto child = host_.handles().FindAs<SimProcess>(process)) {
        return ProcessTimes{child->creation_time(), child->Active() ? 0 : child->creation_time() + 1};
    }
    return Win32Failure(win32_error::kInvalidHandle);
}

SysResult<bool> SimProcesses::IsProcessInJob(Handle process, Handle job) {
    TELVO_SIM_ENTER(host_, "IsProcessInJob");
    auto held_job = host_.handles().FindAs<SimJob>(job);
    if (!held_job) return Win32Failure(win32_error::kInvalidHandle);
    if (host_.handles().FindAs<SimHelperProcessObject>(process)) return false;
    auto child = host_.handles().FindAs<SimProcess>(process);
    if (!child) return Win32Failure(win32_error::kInvalidHandle);
    return held_job->Holds(*child);
}

SysResult<std::uint32_t> SimProcesses::GetProcessId(Handle process) {
    TELVO_SIM_ENTER(host_, "GetProcessId");
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!host_.handles().HoldsAnyOf(process, process_access::kQueryAny)) return Win32Failure(win32_error::kAccessDenied);
    return found->id();
}

// The calling process's image is its own; a created process's is the
// program its command line names (quoted or up to the first space).
SysResult<std::u16string> SimProcesses::QueryFullProcessImageNameW(Handle process) {
    TELVO_SIM_ENTER(host_, "QueryFullProcessImageNameW");
    if (process == kCurrentProcess) return host_.caller().ImagePath();
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return ProgramOfCommandLine(found->image().command_line);
}

SysResult<std::uint32_t> SimProcesses::GetHandleInformation(Handle handle) {
    TELVO_SIM_ENTER(host_, "GetHandleInformation", {static_cast<std::uint64_t>(handle)});
    const auto flags = host_.handles().Flags(handle);
    if (!flags) return Win32Failure(win32_error::kInvalidHandle);
    return *flags;
}

SysResult<void> SimProcesses::SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) {
    TELVO_SIM_ENTER(host_, "SetHandleInformation", {static_cast<std::uint64_t>(handle), mask, flags});
    if (!host_.handles().SetFlags(handle, mask, flags)) return Win32Failure(win32_error::kInvalidHandle);
    return {};
}

void SimProcesses::Script(std::u16string command_line, std::vector<ProcessStep> steps) {
    std::lock_guard lock(mutex_);
    scripts_[std::move(command_line)] = std::move(steps);
}

void SimProcesses::ScriptUnscripted(ScriptFallback fallback) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(fallback);
}

std::map<std::u16string, std::vector<ProcessStep>> SimProcesses::Scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
}

std::optional<std::vector<ProcessStep>> SimProcesses::ScriptFor(const std::u16string& command_line) const {
    const auto program = scripts_.find(command_line);
    if (program != scripts_.end()) return program->second;
    if (fallback_) return fallback_(command_line);
    return std::nullopt;
}

std::shared_ptr<SimProcess> SimProcesses::StartInJob(Handle job, ProcessBehaviour behaviour) {
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) throw InternalFault("StartInJob: not a job handle");
    std::vector<ProcessStep> script{step::SurviveTermination{behaviour.survives_termination_ms}};
    if (behaviour.exits_with) {
        script.emplace_back(step::Exit{*behaviour.exits_with});
    } else {
        script.emplace_back(step::Hang{});
    }
    ProcessImage image;
    image.parent_id = host_.caller().id();
    image.token = host_.security().ProcessToken();
    if (behaviour.token) {
        // A behaviour's own identity is a token of its own, owning by its user.
        image.token.identity = *behaviour.token;
        image.token.owner = behaviour.token->user;
        image.token.primary_group = behaviour.token->user;
    }
    auto process = NewProcess(std::move(image), std::move(script));
    if (!EnterJobs(process, {found})) throw InternalFault("StartInJob: the job takes no more processes");
    Run(process);
    return process;
}

std::vector<std::shared_ptr<SimProcess>> SimProcesses::Created() const {
    std::lock_guard lock(mutex_);
    return processes_;
}

std::uint32_t SimProcesses::NextId() {
    std::lock_guard lock(mutex_);
    return next_id_ += 4;
}

std::shared_ptr<SimProcess> SimProcesses::NewProcess(ProcessImage image, std::vector<ProcessStep> script) {
    auto process = std::make_shared<SimProcess>(host_.clock(), NextId(), std::move(image), std::move(script));
    std::lock_guard lock(mutex_);
    processes_.push_back(process);
    return process;
}

SysResult<void> SimProcesses::EnterJobs(const std::shared_ptr<SimProcess>& process,
                                        const std::vector<std::shared_ptr<SimJob>>& jobs) {
    for (const auto& job : jobs) {
        if (auto assigned = job->Assign(process); !assigned) {
            process->Terminate(0);
            return assigned;
        }
        process->JoinedJob(job);
    }
    return {};
}

std::string SimProcesses::FileStep(const SimProcess& process, const step::File& file) {
    using Action = step::File::Action;
    SimFiles& files = host_.files();
    const SimToken& token = process.full_token();
    SysResult<void> done;
    const char* name = "";
    switch (file.action) {
        case Action::read:
            name = "read";
            if (auto read = files.ReadAs(token, file.path); !read) done = std::unexpected(read.error());
            break;
        case Action::write:
            name = "write";
            done = files.WriteAs(token, file.path, file.text);
            break;
        case Action::mkdir:
            name = "mkdir";
            done = files.MakeDirectoryAs(token, file.path);
            break;
        case Action::remove:
            name = "delete";
            done = files.DeleteAs(token, file.path);
            break;
        case Action::list:
            name = "list";
            if (auto listed = files.ListAs(token, file.path); !listed) done = std::unexpected(listed.error());
            break;
        case Action::create: {
            name = "create";
            auto descriptor = winformat::ParseSddl(file.text);
            done = descriptor ? files.CreateWithDescriptorAs(token, file.path, file.directory, *descriptor)
                              : SysResult<void>(Win32Failure(win32_error::kInvalidSecurityDescr));
            break;
        }
        case Action::attributes:
            name = "attributes";
            done = files.SetAttributesAs(token, file.path, file.attributes);
            break;
        case Action::link:
            name = "link";
            done = files.LinkAs(token, file.target, file.path);
            break;
    }
    std::string line = std::string(name) + " " + winformat::Utf16ToDisplay(file.path) + ": ";
    line += done ? std::string("ok") : "error " + std::to_string(done.error().code);
    return line + "\n";
}

void SimProcesses::Run(const std::shared_ptr<SimProcess>& process) {
    for (auto& next : process->TakeScript()) {
        if (!process->Running()) return;
        if (std::holds_alternative<step::Hang>(next)) return;
        if (const auto* exit = std::get_if<step::Exit>(&next)) {
            process->Exit(exit->code);
            return;
        }
        if (const auto* write = std::get_if<step::WriteOutput>(&next)) {
            WriteOutput(*process, write->text,
                        write->to_error ? process->image().std_error : process->image().std_output);
        } else if (const auto* child = std::get_if<step::StartChild>(&next)) {
            if (auto started = StartChild(*process, child->command_line, child->breakaway); !started) {
                process->RecordStepFailure(started.error());
            }
        } else if (const auto* survive = std::get_if<step::SurviveTermination>(&next)) {
            process->SetSurvivesTermination(survive->milliseconds);
        } else if (const auto* file = std::get_if<step::File>(&next)) {
            WriteOutput(*process, FileStep(*process, *file), process->image().std_output);
        } else if (std::holds_alternative<step::CloseControllerInput>(next)) {
            CloseControllerInput(*process);
        } else {
            std::get<step::HostCall>(next).run(*process);
        }
    }
    // Returning from its entry point.
    if (process->Running()) process->Exit(0);
}

void SimProcesses::CloseControllerInput(const SimProcess& process) {
    std::vector<std::uint32_t> ancestors{process.parent_id()};
    {
        std::lock_guard lock(mutex_);
        // Each step up reaches an older process, so the chain ends within them all.
        while (ancestors.size() <= processes_.size()) {
            const std::uint32_t above = ancestors.back();
            const auto parent = std::ranges::find_if(processes_, [above](const auto& p) { return p->id() == above; });
            if (parent == processes_.end()) break;
            ancestors.push_back((*parent)->parent_id());
        }
    }
    for (const std::uint32_t id : ancestors) {
        if (host_.CloseHelperInput(id)) return;
    }
}

// windows-notes 5.4 and 11.4: a child starts in its creator's jobs, but
// breaks away from the innermost job outwards, from each job that lets it,
// up to the first that does not. A job with SILENT_BREAKAWAY_OK lets every
// child go; one with BREAKAWAY_OK lets go a child created with
// CREATE_BREAKAWAY_FROM_JOB. That flag on a child whose innermost job allows
// neither fails the creation with ERROR_ACCESS_DENIED.
SysResult<std::vector<std::shared_ptr<SimJob>>> SimProcesses::JobsOfChild(std::vector<std::shared_ptr<SimJob>> jobs,
                                                                          bool breakaway) {
    const auto lets_go = [breakaway](const SimJob& job) {
        const std::uint32_t limits = job.LimitFlags();
        return (limits & job_limit::kSilentBreakawayOk) != 0 || (breakaway && (limits & job_limit::kBreakawayOk) != 0);
    };
    if (breakaway && !jobs.empty() && !lets_go(*jobs.back())) return Win32Failure(win32_error::kAccessDenied);
    while (!jobs.empty() && lets_go(*jobs.back())) jobs.pop_back();
    return jobs;
}

SysResult<void> SimProcesses::StartChild(SimProcess& parent, const std::u16string& command_line, bool breakaway) {
    std::vector<ProcessStep> script;
    {
        std::lock_guard lock(mutex_);
        auto program = ScriptFor(command_line);
        if (!program) return Win32Failure(win32_error::kFileNotFound);
        script = std::move(*program);
    }
    TELVO_TRY_ASSIGN(auto jobs, JobsOfChild(parent.Jobs(), breakaway));
    // The child is handed down everything the parent holds.
    ProcessImage image = parent.image();
    image.handles = parent.Handles();
    image.parent_id = parent.id();
    image.command_line = command_line;
    image.creation_flags = breakaway ? kCreateBreakawayFromJob : 0;
    auto child = NewProcess(std::move(image), std::move(script));
    if (auto entered = EnterJobs(child, jobs); !entered) return entered;
    Run(child);
    return {};
}

void SimProcesses::WriteOutput(SimProcess& process, const std::string& text, Handle stream) {
    const auto object = process.FindHandle(stream);
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    SysResult<std::uint32_t> written = Win32Failure(win32_error::kInvalidHandle);
    if (auto file = std::dynamic_pointer_cast<SimFileObject>(object)) {
        written = file->Write(bytes, text.size());
    } else if (auto output = std::dynamic_pointer_cast<SimOutputStream>(object)) {
        written = output->Write(bytes, text.size());
    }
    if (!written) process.RecordStepFailure(written.error());
}

void SimProcesses::StartThreadFor(SimHelperProcess& process, std::function<void()> routine) {
    std::lock_guard lock(mutex_);
    // Up to the release of what the routine holds, as a Windows thread frees
    // its start state itself.
    threads_.emplace_back([this, &process, start = std::move(routine)]() mutable {
        const auto binding = host_.Bind(process);
        std::exchange(start, nullptr)();
    });
}

void SimProcesses::JoinThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
}

}  // namespace telvo::platform::sim
