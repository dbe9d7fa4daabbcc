#include "platform/sim/sim_change_log.h"

namespace telvo::platform::sim {

void SimChangeLog::Start() {
    std::lock_guard lock(mutex_);
    changes_.clear();
    started_.store(true, std::memory_order_release);
}

void SimChangeLog::Stop() { started_.store(false, std::memory_order_release); }

std::vector<SimChange> SimChangeLog::Changes() const {
    std::lock_guard lock(mutex_);
    return changes_;
}

void SimChangeLog::Append(SimChange change) {
    std::lock_guard lock(mutex_);
    changes_.push_back(std::move(change));
}

}  // namespace telvo::platform::sim
