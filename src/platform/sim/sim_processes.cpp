#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/kernel.h"
#include "platform/sim/sim_host.h"
#include "winformat/text.h"
#include "winformat/little_endian.h"
#include "winformat/mandatory_label.h"

namespace telvo::platform::sim {

namespace {

std::unexpected<SysError> Win32Failure(std::uint32_t code) { return std::unexpected(SysError::Win32(code)); }

}  // namespace

// ---- SimProcess ----

SimProcess::SimProcess(SimClock& clock, std::uint32_t id, ProcessImage image, std::vector<ProcessStep> script)
    : clock_(clock), id_(id), creation_time_(clock.Now()), image_(std::move(image)),
      handles_(std::exchange(image_.handles, {})), script_(std::move(script)) {}

std::shared_ptr<SimObject> SimProcess::FindHandle(Handle handle) const {
    std::lock_guard lock(mutex_);
    SettleLocked();
    const auto found = handles_.find(handle);
    return found == handles_.end() ? nullptr : found->second;
}

std::map<Handle, std::shared_ptr<SimObject>> SimProcess::Handles() const {
    std::lock_guard lock(mutex_);
    SettleLocked();
    return handles_;
}

void SimProcess::SettleLocked() const {
    if (exit_code_ == kStillActive && exit_at_ && *exit_at_ <= clock_.Now()) {
        exit_code_ = pending_code_;
        handles_.clear();  // an exited process holds no handles
    }
}

void SimProcess::EndLocked(std::uint32_t code, std::uint64_t at) {
    SettleLocked();
    if (exit_code_ != kStillActive || exit_at_) return;  // already gone or already dying
    pending_code_ = code;
    exit_at_ = at;
    SettleLocked();
}

std::uint32_t SimProcess::ExitCode() const {
    std::lock_guard lock(mutex_);
    SettleLocked();
    return exit_code_;
}

bool SimProcess::Active() const { return ExitCode() == kStillActive; }

bool SimProcess::Running() const {
    std::lock_guard lock(mutex_);
    return !exit_at_;
}

void SimProcess::Exit(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    EndLocked(code, clock_.Now());
}

void SimProcess::Terminate(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    EndLocked(code, clock_.Now() + survives_ms_);
}

void SimProcess::SetSurvivesTermination(std::uint64_t milliseconds) {
    std::lock_guard lock(mutex_);
    survives_ms_ = milliseconds;
}

std::optional<std::uint64_t> SimProcess::ExitTime() const {
    std::lock_guard lock(mutex_);
    return exit_at_;
}

std::vector<std::shared_ptr<SimJob>> SimProcess::Jobs() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimJob>> jobs;
    for (const auto& job : jobs_) {
        if (auto alive = job.lock()) jobs.push_back(std::move(alive));
    }
    return jobs;
}

void SimProcess::JoinedJob(const std::shared_ptr<SimJob>& job) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(job);
}

std::vector<ProcessStep> SimProcess::TakeScript() {
    std::lock_guard lock(mutex_);
    return std::exchange(script_, {});
}

void SimProcess::RecordStepFailure(SysError failure) {
    std::lock_guard lock(mutex_);
    step_failures_.push_back(failure);
}

std::vector<SysError> SimProcess::StepFailures() const {
    std::lock_guard lock(mutex_);
    return step_failures_;
}

std::optional<std::uint32_t> SimProcess::TryWait() {
    if (Active()) return std::nullopt;
    return wait_result::kObject0;
}

std::optional<std::uint64_t> SimProcess::SignalledAt() const { return ExitTime(); }

// ---- SimProcessThread ----

std::uint32_t SimProcessThread::SuspendCount() const {
    std::lock_guard lock(mutex_);
    return suspend_count_;
}

std::uint32_t SimProcessThread::Resume() {
    std::lock_guard lock(mutex_);
    const std::uint32_t previous = suspend_count_;
    if (suspend_count_ > 0) --suspend_count_;
    return previous;
}

std::optional<std::uint32_t> SimProcessThread::TryWait() { return process_->TryWait(); }

ProcessAssumptions& CurrentProcessAssumptions() {
    static ProcessAssumptions assumptions;
    return assumptions;
}

// ---- SimJob ----

JobAssumptions& CurrentJobAssumptions() {
    static JobAssumptions assumptions;
    return assumptions;
}

SysResult<void> SimJob::SetInformation(std::uint32_t information_class, std::span<const std::uint8_t> information) {
    std::lock_guard lock(mutex_);
    switch (information_class) {
        case job_information::kExtendedLimit:
            if (information.size() != job_layout::kExtendedLimitSize) return Win32Failure(win32_error::kBadLength);
            extended_limits_.assign(information.begin(), information.end());
            return {};
        case job_information::kBasicLimit: {
            if (information.size() != job_layout::kBasicLimitSize) return Win32Failure(win32_error::kBadLength);
            // The extended-only flags are refused through the basic class.
            if ((winformat::le::Read32(information, job_layout::kLimitFlagsOffset) & job_limit::kExtendedOnly) != 0) {
                return Win32Failure(win32_error::kInvalidParameter);
            }
            std::copy(information.begin(), information.end(), extended_limits_.begin());
            return {};
        }
        case job_information::kBasicUiRestrictions:
            if (information.size() != job_layout::kUiRestrictionsSize) return Win32Failure(win32_error::kBadLength);
            ui_restrictions_ = winformat::le::Read32(information, 0);
            return {};
        default:
            return Win32Failure(win32_error::kInvalidParameter);
    }
}

SysResult<std::uint32_t> SimJob::QueryInformation(std::uint32_t information_class,
                                                  std::span<std::uint8_t> buffer) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> data;
    switch (information_class) {
        case job_information::kBasicAccounting: {
            data.assign(job_layout::kBasicAccountingSize, 0);
            const auto active = std::count_if(processes_.begin(), processes_.end(),
                                              [](const auto& process) { return process->Active(); });
            winformat::le::Write32(data, 36, static_cast<std::uint32_t>(processes_.size()));
            winformat::le::Write32(data, job_layout::kActiveProcessesOffset, static_cast<std::uint32_t>(active));
            break;
        }
        case job_information::kExtendedLimit:
            data = extended_limits_;
            break;
        case job_information::kBasicUiRestrictions:
            data.assign(job_layout::kUiRestrictionsSize, 0);
            winformat::le::Write32(data, 0, ui_restrictions_);
            break;
        default:
            return Win32Failure(win32_error::kInvalidParameter);
    }
    if (buffer.size() < data.size()) return Win32Failure(win32_error::kBadLength);
    std::memcpy(buffer.data(), data.data(), data.size());
    return static_cast<std::uint32_t>(data.size());
}

void SimJob::Terminate(std::uint32_t exit_code) {
    std::lock_guard lock(mutex_);
    const bool was_empty = std::none_of(processes_.begin(), processes_.end(),
                                        [](const auto& process) { return process->Active(); });
    for (auto& process : processes_) process->Terminate(exit_code);
    if (!was_empty || CurrentJobAssumptions().terminating_an_empty_job_signals) terminated_ = true;
}

SysResult<void> SimJob::Assign(std::shared_ptr<SimProcess> process) {
    std::lock_guard lock(mutex_);
    if (closed_) return Win32Failure(win32_error::kAccessDenied);
    processes_.push_back(std::move(process));
    return {};
}

std::uint32_t SimJob::LimitFlags() const {
    std::lock_guard lock(mutex_);
    return winformat::le::Read32(extended_limits_, job_layout::kLimitFlagsOffset);
}

std::uint32_t SimJob::UiRestrictions() const {
    std::lock_guard lock(mutex_);
    return ui_restrictions_;
}

std::size_t SimJob::ActiveProcesses() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(processes_.begin(), processes_.end(), [](const auto& process) { return process->Active(); }));
}

std::size_t SimJob::TotalProcesses() const {
    std::lock_guard lock(mutex_);
    return processes_.size();
}

std::optional<std::uint32_t> SimJob::TryWait() {
    std::lock_guard lock(mutex_);
    if (!signalled_ && terminated_ &&
        std::none_of(processes_.begin(), processes_.end(), [](const auto& process) { return process->Active(); })) {
        signalled_ = true;
    }
    if (signalled_) return wait_result::kObject0;
    return std::nullopt;
}

std::optional<std::uint64_t> SimJob::SignalledAt() const {
    std::lock_guard lock(mutex_);
    if (!terminated_) return std::nullopt;
    std::uint64_t last = clock_.Now();
    for (const auto& process : processes_) {
        if (!process->Active()) continue;
        const auto at = process->ExitTime();
        if (!at) return std::nullopt;  // a process that exits on its own does not signal the job
        last = std::max(last, *at);
    }
    return last;
}

void SimJob::OnLastHandleClosed() {
    std::lock_guard lock(mutex_);
    if ((winformat::le::Read32(extended_limits_, job_layout::kLimitFlagsOffset) & job_limit::kKillOnJobClose) == 0) {
        return;
    }
    closed_ = true;
    // Windows ends the processes of a job closed with kill-on-close with exit code 0.
    for (auto& process : processes_) process->Terminate(0);
}

// ---- SimThread ----

std::optional<std::uint32_t> SimThread::TryWait() {
    std::lock_guard lock(mutex_);
    if (ended_) return wait_result::kObject0;
    return std::nullopt;
}

std::optional<std::uint32_t> SimThread::WaitFor(std::uint32_t milliseconds) {
    std::unique_lock lock(mutex_);
    const auto ended = [this] { return ended_; };
    if (milliseconds == kInfinite) {
        ended_signal_.wait(lock, ended);
    } else if (!ended_signal_.wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
        return std::nullopt;
    }
    return wait_result::kObject0;
}

void SimThread::MarkEnded() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    ended_signal_.notify_all();
}

std::u16string SimThread::description() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void SimThread::SetDescription(std::u16string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

// ---- SimProcesses ----

SimProcesses::~SimProcesses() {
    // A thread may be blocked on standard input: the controller's end goes
    // away with the host.
    host_.stdin_pipe().CloseWriter();
    JoinThreads();
}

SysResult<Handle> SimProcesses::CreateJobObjectW() {
    TELVO_SIM_ENTER(host_, "CreateJobObjectW");
    return host_.handles().Add(std::make_shared<SimJob>(host_.clock()));
}

SysResult<void> SimProcesses::SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                      std::span<const std::uint8_t> information) {
    TELVO_SIM_ENTER(host_, "SetInformationJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->SetInformation(information_class, information);
}

SysResult<std::uint32_t> SimProcesses::QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                                 std::span<std::uint8_t> buffer) {
    TELVO_SIM_ENTER(host_, "QueryInformationJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->QueryInformation(information_class, buffer);
}

SysResult<void> SimProcesses::TerminateJobObject(Handle job, std::uint32_t exit_code) {
    TELVO_SIM_ENTER(host_, "TerminateJobObject");
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    found->Terminate(exit_code);
    return {};
}

SysResult<Handle> SimProcesses::CreateThread(std::function<void()> start) {
    TELVO_SIM_ENTER(host_, "CreateThread");
    auto thread = std::make_shared<SimThread>();
    const Handle handle = host_.handles().Add(thread);
    std::lock_guard lock(mutex_);
    // The new thread acts for the process that started it.
    threads_.emplace_back([this, thread, &creator = host_.caller(), routine = std::move(start)] {
        const auto binding = host_.Bind(creator);
        routine();
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

// ---- Process creation ----

namespace {

// The size InitializeProcThreadAttributeList asks for: a 24-byte header and
// 24 bytes an attribute, as on x64.
std::size_t AttributeListSize(std::uint32_t attribute_count) { return 24 + std::size_t{24} * attribute_count; }

// UpdateProcThreadAttribute checks each attribute's size against its payload
// type: a value of another type has the wrong size.
std::optional<std::uint32_t> AttributeValueError(std::uint32_t attribute, const ProcThreadAttributeValue& value) {
    switch (attribute) {
        case proc_thread_attribute::kHandleList:
        case proc_thread_attribute::kJobList: {
            const auto* handles = std::get_if<std::vector<Handle>>(&value);
            if (handles == nullptr || handles->empty()) return win32_error::kBadLength;
            return std::nullopt;
        }
        case proc_thread_attribute::kSecurityCapabilities:
            if (!std::holds_alternative<SecurityCapabilities>(value)) return win32_error::kBadLength;
            return std::nullopt;
        case proc_thread_attribute::kAllApplicationPackagesPolicy:
            if (!std::holds_alternative<std::uint32_t>(value)) return win32_error::kBadLength;
            return std::nullopt;
        default:
            return win32_error::kNotSupported;
    }
}

// The environment block as the new process reads it: without
// CREATE_UNICODE_ENVIRONMENT Windows takes the block for ANSI text, one
// character a byte.
std::vector<std::u16string> ReadEnvironment(const std::u16string& block, bool unicode) {
    std::u16string text;
    if (unicode) {
        text = block;
    } else {
        for (const char16_t unit : block) {
            text.push_back(static_cast<char16_t>(unit & 0xFF));
            text.push_back(static_cast<char16_t>(unit >> 8));
        }
    }
    std::vector<std::u16string> entries;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(u'\0', start), text.size());
        if (end == start) break;  // the empty entry that ends the block
        entries.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

// The token of a process created with SECURITY_CAPABILITIES: the creator's,
// made an AppContainer token at low integrity with the package SID and the
// capabilities as given. An AppContainer token keeps none of the privileges
// that the model knows.
TokenIdentity AppContainerToken(TokenIdentity token, const SecurityCapabilities& capabilities,
                                bool less_privileged) {
    token.package = capabilities.app_container_sid;
    token.capabilities.clear();
    for (const auto& capability : capabilities.capabilities) {
        token.capabilities.push_back({capability.sid, capability.attributes});
    }
    token.integrity_rid = winformat::integrity_rid::kLow;
    token.enabled_privileges.clear();
    token.less_privileged = less_privileged;
    return token;
}

}  // namespace

SysResult<AttributeList> SimProcesses::InitializeProcThreadAttributeList(std::uint32_t attribute_count,
                                                                       std::size_t size, std::size_t& size_needed) {
    if (auto fault = host_.Enter("InitializeProcThreadAttributeList", {attribute_count, size})) {
        return std::unexpected(*fault);
    }
    size_needed = AttributeListSize(attribute_count);
    if (size < size_needed) return Win32Failure(win32_error::kInsufficientBuffer);
    std::lock_guard lock(mutex_);
    const std::uint64_t id = next_list_++;
    lists_.emplace(id, PendingList{attribute_count, {}});
    return AttributeList{id};
}

SysResult<void> SimProcesses::UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                                        const ProcThreadAttributeValue& value) {
    TELVO_SIM_ENTER(host_, "UpdateProcThreadAttribute", {attribute});
    std::lock_guard lock(mutex_);
    const auto found = lists_.find(static_cast<std::uint64_t>(list));
    if (found == lists_.end()) return Win32Failure(win32_error::kInvalidParameter);
    if (auto error = AttributeValueError(attribute, value)) return Win32Failure(*error);
    // A list holds no more attributes than it was made for (Wine's error;
    // Windows' is unconfirmed).
    if (found->second.attributes.size() >= found->second.capacity) return Win32Failure(win32_error::kGenFailure);
    found->second.attributes.emplace_back(attribute, value);
    return {};
}

void SimProcesses::DeleteProcThreadAttributeList(AttributeList list) {
    (void)host_.Enter("DeleteProcThreadAttributeList");
    std::lock_guard lock(mutex_);
    lists_.erase(static_cast<std::uint64_t>(list));
}

SysResult<ProcessInformation> SimProcesses::CreateProcessW(const CreateProcessParameters& parameters) {
    const StartupInfoEx& startup = parameters.startup_info;
    if (auto fault = host_.Enter("CreateProcessW", {parameters.inherit_handles ? 1u : 0u, parameters.creation_flags,
                                                    startup.cb, startup.flags})) {
        return std::unexpected(*fault);
    }
    const bool extended = (parameters.creation_flags & creation_flag::kExtendedStartupInfoPresent) != 0;
    if (extended && startup.cb != startup_info_layout::kExtendedSize) {
        return Win32Failure(win32_error::kInvalidParameter);
    }

    // The attributes count only with EXTENDED_STARTUPINFO_PRESENT: without
    // it the record is a plain STARTUPINFOW and the list is never read.
    const SecurityCapabilities* capabilities = nullptr;
    std::uint32_t packages_policy = 0;
    const std::vector<Handle>* handle_list = nullptr;
    const std::vector<Handle>* job_list = nullptr;
    std::vector<ProcessStep> script;
    {
        std::lock_guard lock(mutex_);
        const auto program = scripts_.find(parameters.command_line);
        if (program == scripts_.end()) return Win32Failure(win32_error::kFileNotFound);
        script = program->second;
        if (extended && startup.attribute_list) {
            const auto found = lists_.find(static_cast<std::uint64_t>(*startup.attribute_list));
            if (found == lists_.end()) return Win32Failure(win32_error::kInvalidParameter);
            for (const auto& [attribute, value] : found->second.attributes) {
                if (attribute == proc_thread_attribute::kSecurityCapabilities) {
                    capabilities = &std::get<SecurityCapabilities>(value);
                } else if (attribute == proc_thread_attribute::kAllApplicationPackagesPolicy) {
                    packages_policy = std::get<std::uint32_t>(value);
                } else if (attribute == proc_thread_attribute::kHandleList) {
                    handle_list = &std::get<std::vector<Handle>>(value);
                } else if (attribute == proc_thread_attribute::kJobList) {
                    job_list = &std::get<std::vector<Handle>>(value);
                }
            }
        }
    }
    // The list's values stay put: the caller cannot delete the list while
    // this call runs, as on Windows.

    ProcessImage image;
    image.parent_id = host_.caller().id();
    image.command_line = parameters.command_line;
    image.creation_flags = parameters.creation_flags;
    image.environment = ReadEnvironment(parameters.environment,
                                        (parameters.creation_flags & creation_flag::kUnicodeEnvironment) != 0);
    image.current_directory = parameters.current_directory;
    // Without STARTF_USESTDHANDLES the simulated child has no standard
    // handles (a console would hand down its own).
    if ((startup.flags & startup_flag::kUseStdHandles) != 0) {
        image.std_input = startup.std_input;
        image.std_output = startup.std_output;
        image.std_error = startup.std_error;
    }

    // Inheritance: every inheritable handle, or exactly the listed ones.
    const ProcessAssumptions& assumptions = CurrentProcessAssumptions();
    if (handle_list != nullptr) {
        if (!parameters.inherit_handles && assumptions.handle_list_without_inheritance_fails) {
            return Win32Failure(win32_error::kInvalidParameter);
        }
        if (parameters.inherit_handles) {
            for (const Handle handle : *handle_list) {
                auto object = host_.handles().Find(handle);
                if (!object) return Win32Failure(win32_error::kInvalidHandle);
                if ((host_.handles().Flags(handle).value_or(0) & handle_flag::kInherit) == 0) {
                    if (assumptions.non_inheritable_listed_handle_fails) {
                        return Win32Failure(win32_error::kInvalidParameter);
                    }
                    continue;
                }
                image.handles.emplace(handle, std::move(object));
            }
        }
    } else if (parameters.inherit_handles) {
        image.handles = host_.handles().WithFlag(handle_flag::kInherit);
    }

    std::vector<std::shared_ptr<SimJob>> jobs;
    if (job_list != nullptr) {
        for (const Handle handle : *job_list) {
            auto job = host_.handles().FindAs<SimJob>(handle);
            if (!job) return Win32Failure(win32_error::kInvalidHandle);
            jobs.push_back(std::move(job));
        }
    }

    // The creator is the simulated process: its token is the new process's.
    image.token = host_.security().ProcessToken().identity;
    if (capabilities != nullptr) {
        image.token = AppContainerToken(std::move(image.token), *capabilities,
                                        packages_policy == kAllApplicationPackagesOptOut);
    }

    auto process = NewProcess(std::move(image), std::move(script));
    // The process is in its jobs before its first instruction.
    if (auto entered = EnterJobs(process, jobs); !entered) return std::unexpected(entered.error());
    const bool suspended = (parameters.creation_flags & creation_flag::kSuspended) != 0;
    auto thread = std::make_shared<SimProcessThread>(process, NextId(), suspended ? 1u : 0u);
    ProcessInformation information{host_.handles().Add(process), host_.handles().Add(thread), process->id(),
                                   thread->id()};
    if (!suspended) Run(process);
    return information;
}

SysResult<std::uint32_t> SimProcesses::ResumeThread(Handle thread) {
    TELVO_SIM_ENTER(host_, "ResumeThread");
    auto found = host_.handles().FindAs<SimProcessThread>(thread);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    const std::uint32_t previous = found->Resume();
    if (previous == 1) Run(found->process());
    return previous;
}

SysResult<std::uint32_t> SimProcesses::GetExitCodeProcess(Handle process) {
    TELVO_SIM_ENTER(host_, "GetExitCodeProcess");
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->ExitCode();
}

SysResult<void> SimProcesses::TerminateProcess(Handle process, std::uint32_t exit_code) {
    TELVO_SIM_ENTER(host_, "TerminateProcess", {exit_code});
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    if (!found->Active()) {
        if (CurrentProcessAssumptions().terminating_an_exited_process_fails) {
            return Win32Failure(win32_error::kAccessDenied);
        }
        return {};
    }
    found->Terminate(exit_code);
    return {};
}

SysResult<std::uint32_t> SimProcesses::GetProcessId(Handle process) {
    TELVO_SIM_ENTER(host_, "GetProcessId");
    auto found = host_.handles().FindAs<SimProcess>(process);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->id();
}

SysResult<std::uint32_t> SimProcesses::GetHandleInformation(Handle handle) {
    if (auto fault = host_.Enter("GetHandleInformation", {static_cast<std::uint64_t>(handle)})) {
        return std::unexpected(*fault);
    }
    const auto flags = host_.handles().Flags(handle);
    if (!flags) return Win32Failure(win32_error::kInvalidHandle);
    return *flags;
}

SysResult<void> SimProcesses::SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) {
    if (auto fault = host_.Enter("SetHandleInformation", {static_cast<std::uint64_t>(handle), mask, flags})) {
        return std::unexpected(*fault);
    }
    if (!host_.handles().SetFlags(handle, mask, flags)) return Win32Failure(win32_error::kInvalidHandle);
    return {};
}

void SimProcesses::Script(std::u16string command_line, std::vector<ProcessStep> steps) {
    std::lock_guard lock(mutex_);
    scripts_[std::move(command_line)] = std::move(steps);
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
    image.token = host_.security().ProcessToken().identity;
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
    const TokenIdentity& token = process.token();
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
            WriteOutput(*process, write->text);
        } else if (const auto* child = std::get_if<step::StartChild>(&next)) {
            if (auto started = StartChild(*process, child->command_line); !started) {
                process->RecordStepFailure(started.error());
            }
        } else if (const auto* survive = std::get_if<step::SurviveTermination>(&next)) {
            process->SetSurvivesTermination(survive->milliseconds);
        } else if (const auto* file = std::get_if<step::File>(&next)) {
            WriteOutput(*process, FileStep(*process, *file));
        } else {
            std::get<step::HostCall>(next).run(*process);
        }
    }
    // Returning from its entry point.
    if (process->Running()) process->Exit(0);
}

SysResult<void> SimProcesses::StartChild(SimProcess& parent, const std::u16string& command_line) {
    std::vector<ProcessStep> script;
    {
        std::lock_guard lock(mutex_);
        const auto program = scripts_.find(command_line);
        if (program == scripts_.end()) return Win32Failure(win32_error::kFileNotFound);
        script = program->second;
    }
    // The child is handed down everything the parent holds.
    ProcessImage image = parent.image();
    image.handles = parent.Handles();
    image.parent_id = parent.id();
    image.command_line = command_line;
    image.creation_flags = 0;
    auto child = NewProcess(std::move(image), std::move(script));
    if (auto entered = EnterJobs(child, parent.Jobs()); !entered) return entered;
    Run(child);
    return {};
}

void SimProcesses::WriteOutput(SimProcess& process, const std::string& text) {
    const auto object = process.FindHandle(process.image().std_output);
    const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
    SysResult<std::uint32_t> written = Win32Failure(win32_error::kInvalidHandle);
    if (auto file = std::dynamic_pointer_cast<SimFileObject>(object)) {
        written = file->Write(bytes, text.size());
    } else if (auto output = std::dynamic_pointer_cast<SimOutputStream>(object)) {
        written = output->Write(bytes, text.size());
    }
    if (!written) process.RecordStepFailure(written.error());
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
