#include "platform/sim/sim_job.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/sim_object.h"
#include "platform/kernel.h"
#include "winformat/little_endian.h"

namespace telvo::platform::sim {

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
            winformat::le::Write32(data, 36, static_cast<std::uint32_t>(processes_.size()));
            winformat::le::Write32(data, job_layout::kActiveProcessesOffset, static_cast<std::uint32_t>(ActiveLocked()));
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
    TerminateLocked(exit_code);
}

void SimJob::TerminateLocked(std::uint32_t exit_code) {
    const std::size_t before = ActiveLocked();
    for (auto& process : processes_) process->TerminateThroughJob(exit_code);
    const bool signals = before == 0 ? CurrentJobAssumptions().terminating_an_empty_job_signals : ActiveLocked() == 0;
    if (signals && !signalled_at_) signalled_at_ = clock_.Now();
}

std::size_t SimJob::ActiveLocked() const {
    return static_cast<std::size_t>(
        std::count_if(processes_.begin(), processes_.end(), [](const auto& process) { return process->CountsInJob(); }));
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
    return ActiveLocked();
}

bool SimJob::Holds(const SimProcess& process) const {
    std::lock_guard lock(mutex_);
    return std::any_of(processes_.begin(), processes_.end(),
                       [&](const std::shared_ptr<SimProcess>& held) { return held.get() == &process; });
}

std::size_t SimJob::TotalProcesses() const {
    std::lock_guard lock(mutex_);
    return processes_.size();
}

std::optional<std::uint32_t> SimJob::TryWait() {
    std::lock_guard lock(mutex_);
    if (signalled_at_) return wait_result::kObject0;
    return std::nullopt;
}

std::optional<std::uint64_t> SimJob::SignalledAt() const {
    std::lock_guard lock(mutex_);
    return signalled_at_;
}

void SimJob::OnLastHandleClosed() {
    std::lock_guard lock(mutex_);
    if ((winformat::le::Read32(extended_limits_, job_layout::kLimitFlagsOffset) & job_limit::kKillOnJobClose) == 0) {
        return;
    }
    closed_ = true;
    // Windows ends the processes of a job closed with kill-on-close with exit code 0.
    TerminateLocked(0);
}

}  // namespace telvo::platform::sim
