#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel.h"
#include "platform/sim/sim_host.h"
#include "winformat/little_endian.h"

namespace telvo::platform::sim {

namespace {

std::unexpected<SysError> Win32Failure(std::uint32_t code) { return std::unexpected(SysError::Win32(code)); }

}  // namespace

// ---- SimProcess ----

SimProcess::SimProcess(SimClock& clock, std::uint32_t id, ProcessBehaviour behaviour)
    : clock_(clock), id_(id), exit_code_(behaviour.exits_with.value_or(kStillActive)),
      survives_ms_(behaviour.survives_termination_ms) {
    if (behaviour.exits_with) exit_at_ = clock_.Now();
}

void SimProcess::SettleLocked() const {
    if (exit_code_ == kStillActive && exit_at_ && *exit_at_ <= clock_.Now()) exit_code_ = pending_code_;
}

std::uint32_t SimProcess::ExitCode() const {
    std::lock_guard lock(mutex_);
    SettleLocked();
    return exit_code_;
}

bool SimProcess::Active() const { return ExitCode() == kStillActive; }

void SimProcess::Terminate(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    SettleLocked();
    if (exit_code_ != kStillActive || exit_at_) return;  // already gone or already dying
    pending_code_ = code;
    exit_at_ = clock_.Now() + survives_ms_;
    SettleLocked();
}

std::optional<std::uint64_t> SimProcess::ExitTime() const {
    std::lock_guard lock(mutex_);
    return exit_at_;
}

std::optional<std::uint32_t> SimProcess::TryWait() {
    if (Active()) return std::nullopt;
    return wait_result::kObject0;
}

std::optional<std::uint64_t> SimProcess::SignalledAt() const { return ExitTime(); }

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
    if (auto fault = host_.Enter("CreateJobObjectW")) return std::unexpected(*fault);
    return host_.handles().Add(std::make_shared<SimJob>(host_.clock()));
}

SysResult<void> SimProcesses::SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                      std::span<const std::uint8_t> information) {
    if (auto fault = host_.Enter("SetInformationJobObject")) return std::unexpected(*fault);
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->SetInformation(information_class, information);
}

SysResult<std::uint32_t> SimProcesses::QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                                 std::span<std::uint8_t> buffer) {
    if (auto fault = host_.Enter("QueryInformationJobObject")) return std::unexpected(*fault);
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    return found->QueryInformation(information_class, buffer);
}

SysResult<void> SimProcesses::TerminateJobObject(Handle job, std::uint32_t exit_code) {
    if (auto fault = host_.Enter("TerminateJobObject")) return std::unexpected(*fault);
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) return Win32Failure(win32_error::kInvalidHandle);
    found->Terminate(exit_code);
    return {};
}

SysResult<Handle> SimProcesses::CreateThread(std::function<void()> start) {
    if (auto fault = host_.Enter("CreateThread")) return std::unexpected(*fault);
    auto thread = std::make_shared<SimThread>();
    const Handle handle = host_.handles().Add(thread);
    std::lock_guard lock(mutex_);
    threads_.emplace_back([thread, routine = std::move(start)] {
        routine();
        thread->MarkEnded();
    });
    return handle;
}

SysResult<void> SimProcesses::SetThreadDescription(Handle thread, const std::u16string& description) {
    if (auto fault = host_.Enter("SetThreadDescription")) return std::unexpected(*fault);
    auto found = host_.handles().FindAs<SimThread>(thread);
    if (!found) return std::unexpected(SysError::HResult(0x80070006));  // HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)
    found->SetDescription(description);
    return {};
}

std::shared_ptr<SimProcess> SimProcesses::StartInJob(Handle job, ProcessBehaviour behaviour) {
    auto found = host_.handles().FindAs<SimJob>(job);
    if (!found) throw InternalFault("StartInJob: not a job handle");
    std::uint32_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = next_process_id_ += 4;
    }
    auto process = std::make_shared<SimProcess>(host_.clock(), id, behaviour);
    if (!found->Assign(process)) throw InternalFault("StartInJob: the job takes no more processes");
    return process;
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
