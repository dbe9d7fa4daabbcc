#include "platform/sim/sim_process.h"

#include <chrono>
#include <utility>

#include "platform/kernel.h"
#include "platform/sim/handle_table.h"
#include "platform/sim/sim_job.h"

namespace telvo::platform::sim {

// ---- SimProcess ----

SimProcess::SimProcess(SimClock& clock, std::uint32_t id, ProcessImage image, std::vector<ProcessStep> script)
    : clock_(clock), id_(id), creation_time_(clock.Now()), image_(std::move(image)),
      handles_(std::exchange(image_.handles, {})), script_(std::move(script)) {
    for (const auto& [handle, object] : handles_) HandleTable::Retain(*object);
}

SimProcess::Lock::~Lock() {
    std::vector<std::shared_ptr<SimObject>> closing = std::exchange(process_.closing_, {});
    lock_.unlock();
    for (const auto& object : closing) HandleTable::Release(object);
}

std::shared_ptr<SimObject> SimProcess::FindHandle(Handle handle) const {
    Lock lock(*this);
    SettleLocked();
    const auto found = handles_.find(handle);
    return found == handles_.end() ? nullptr : found->second;
}

std::map<Handle, std::shared_ptr<SimObject>> SimProcess::Handles() const {
    Lock lock(*this);
    SettleLocked();
    return handles_;
}

void SimProcess::SettleLocked() const {
    if (exit_code_ == kStillActive && exit_at_ && *exit_at_ <= clock_.Now()) {
        exit_code_ = pending_code_;
        // An exited process holds no handles; they close as its lock is let go.
        for (auto& [handle, object] : handles_) closing_.push_back(std::move(object));
        handles_.clear();
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
    Lock lock(*this);
    SettleLocked();
    return exit_code_;
}

bool SimProcess::Active() const { return ExitCode() == kStillActive; }

bool SimProcess::Running() const {
    Lock lock(*this);
    return !exit_at_;
}

void SimProcess::Exit(std::uint32_t code) {
    Lock lock(*this);
    EndLocked(code, clock_.Now());
}

void SimProcess::Terminate(std::uint32_t code) {
    Lock lock(*this);
    EndLocked(code, clock_.Now() + survives_ms_);
}

void SimProcess::TerminateThroughJob(std::uint32_t code) {
    Lock lock(*this);
    SettleLocked();
    if (exit_code_ != kStillActive || exit_at_) return;
    ended_through_job_ = true;
    EndLocked(code, clock_.Now() + survives_ms_);
}

bool SimProcess::CountsInJob() const {
    Lock lock(*this);
    SettleLocked();
    return exit_code_ == kStillActive && !ended_through_job_;
}

void SimProcess::SetSurvivesTermination(std::uint64_t milliseconds) {
    Lock lock(*this);
    survives_ms_ = milliseconds;
}

std::optional<std::uint64_t> SimProcess::ExitTime() const {
    Lock lock(*this);
    return exit_at_;
}

std::vector<std::shared_ptr<SimJob>> SimProcess::Jobs() const {
    Lock lock(*this);
    std::vector<std::shared_ptr<SimJob>> jobs;
    for (const auto& job : jobs_) {
        if (auto alive = job.lock()) jobs.push_back(std::move(alive));
    }
    return jobs;
}

void SimProcess::JoinedJob(const std::shared_ptr<SimJob>& job) {
    Lock lock(*this);
    jobs_.push_back(job);
}

std::vector<ProcessStep> SimProcess::TakeScript() {
    Lock lock(*this);
    return std::exchange(script_, {});
}

void SimProcess::RecordStepFailure(SysError failure) {
    Lock lock(*this);
    step_failures_.push_back(failure);
}

std::vector<SysError> SimProcess::StepFailures() const {
    Lock lock(*this);
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

}  // namespace telvo::platform::sim
