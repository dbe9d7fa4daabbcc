#include "platform/sim/fault_plan.h"

#include <algorithm>
#include <utility>

namespace telvo::platform::sim {

namespace {
constexpr std::uint32_t kProcessAborted = 1067;  // ERROR_PROCESS_ABORTED
// Set on the thread whose seam call met the crash point, until it takes the crash.
thread_local bool met_crash_point_on_this_thread = false;
}  // namespace

SysError::Kind ErrorKindOfCall(std::string_view call) {
    if (call == "CreateAppContainerProfile" || call == "DeriveAppContainerSidFromAppContainerName" ||
        call == "DeleteAppContainerProfile" || call == "GetAppContainerFolderPath" ||
        call == "SetThreadDescription" || call == "SHGetKnownFolderPath" || call.starts_with("Fwpm")) {
        return SysError::Kind::hresult;
    }
    if (call == "NtQuerySecurityObject" || call == "NtSetSecurityObject" || call == "NtCreateFile" ||
        call == "NtOpenFile" || call == "BCryptGenRandom" || call == "NtQuerySystemInformation" ||
        call == "NtQueryObject") {
        return SysError::Kind::ntstatus;
    }
    return SysError::Kind::win32;
}

void FaultPlan::FailOn(std::string call, std::uint64_t nth, SysError error) {
    std::lock_guard lock(mutex_);
    planned_.push_back({std::move(call), nth, error});
}

void FaultPlan::FailAlways(std::string call, SysError error) { FailOn(std::move(call), 0, error); }

void FaultPlan::Clear() {
    std::lock_guard lock(mutex_);
    planned_.clear();
    actions_.clear();
}

void FaultPlan::Watch(std::string call) {
    std::lock_guard lock(mutex_);
    watched_.push_back(std::move(call));
}

void FaultPlan::WatchAll() {
    std::lock_guard lock(mutex_);
    watch_all_ = true;
}

std::vector<FaultPlan::Call> FaultPlan::Log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

void FaultPlan::OnCall(std::string call, std::uint64_t nth, std::function<void()> action) {
    std::lock_guard lock(mutex_);
    actions_.push_back({std::move(call), nth, std::move(action)});
}

void FaultPlan::CrashAfter(std::uint64_t calls) {
    std::lock_guard lock(mutex_);
    crash_at_ = total_ + calls;
}

bool FaultPlan::Crashed() const {
    std::lock_guard lock(mutex_);
    return !dead_.empty();
}

bool FaultPlan::IsDead(std::uint32_t process_id) const {
    std::lock_guard lock(mutex_);
    return dead_.contains(process_id);
}

std::optional<std::uint32_t> FaultPlan::TakeCrash() {
    std::lock_guard lock(mutex_);
    // Only the thread whose call met the crash point ends the process, which
    // is its own: a thread of another process must not end that one instead.
    if (!met_crash_point_on_this_thread) return std::nullopt;
    met_crash_point_on_this_thread = false;
    return std::exchange(to_end_, std::nullopt);
}

void FaultPlan::ClearCrash() {
    std::lock_guard lock(mutex_);
    crash_at_.reset();
}

void FaultPlan::Kill(std::uint32_t process_id) {
    std::lock_guard lock(mutex_);
    dead_.insert(process_id);
}

std::optional<SysError> FaultPlan::Enter(std::string_view call, std::initializer_list<std::uint64_t> arguments,
                                         std::uint32_t process_id) {
    std::vector<std::function<void()>> due;
    std::optional<SysError> failure;
    {
        std::lock_guard lock(mutex_);
        if (only_ && process_id != *only_) {
            if (dead_.contains(process_id)) return SysError::Win32(kProcessAborted);
            return std::nullopt;
        }
        if (crash_at_ && total_ >= *crash_at_) {
            crash_at_.reset();
            dead_.insert(process_id);
            to_end_ = process_id;
            met_crash_point_on_this_thread = true;
        }
        // A dead process makes no more calls: nothing is counted or done.
        if (dead_.contains(process_id)) return SysError::Win32(kProcessAborted);
        ++total_;
        auto it = counts_.find(call);
        if (it == counts_.end()) it = counts_.emplace(std::string(call), 0).first;
        const std::uint64_t use = ++it->second;
        if (watch_all_ || std::find(watched_.begin(), watched_.end(), call) != watched_.end()) {
            log_.push_back({std::string(call), arguments});
        }
        for (const auto& action : actions_) {
            if (action.call == call && action.nth == use) due.push_back(action.run);
        }
        for (const auto& planned : planned_) {
            if (planned.call == call && (planned.nth == 0 || planned.nth == use)) {
                failure = planned.error;
                break;
            }
        }
    }
    // Outside the lock: an action may use the host, and so come back here.
    for (const auto& run : due) run();
    return failure;
}

void FaultPlan::CountOnly(std::uint32_t process_id) {
    std::lock_guard lock(mutex_);
    only_ = process_id;
}

std::uint64_t FaultPlan::Count(std::string_view call) const {
    std::lock_guard lock(mutex_);
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
}

std::uint64_t FaultPlan::Total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

std::map<std::string, std::uint64_t, std::less<>> FaultPlan::Counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace telvo::platform::sim
