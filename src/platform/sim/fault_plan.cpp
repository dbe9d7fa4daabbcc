#include "platform/sim/fault_plan.h"

namespace telvo::platform::sim {

void FaultPlan::FailOn(std::string call, std::uint64_t nth, SysError error) {
    std::lock_guard lock(mutex_);
    planned_.push_back({std::move(call), nth, error});
}

void FaultPlan::FailAlways(std::string call, SysError error) { FailOn(std::move(call), 0, error); }

void FaultPlan::Clear() {
    std::lock_guard lock(mutex_);
    planned_.clear();
}

std::optional<SysError> FaultPlan::Enter(std::string_view call) {
    std::lock_guard lock(mutex_);
    ++total_;
    auto it = counts_.find(call);
    if (it == counts_.end()) it = counts_.emplace(std::string(call), 0).first;
    const std::uint64_t use = ++it->second;
    for (const auto& planned : planned_) {
        if (planned.call == call && (planned.nth == 0 || planned.nth == use)) return planned.error;
    }
    return std::nullopt;
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
