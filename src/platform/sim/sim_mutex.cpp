#include "platform/sim/sim_mutex.h"

#include "platform/kernel.h"

namespace telvo::platform::sim {

std::optional<std::uint32_t> SimMutex::TryWait() {
    std::lock_guard lock(mutex_);
    const auto self = std::this_thread::get_id();
    if (owner_ && !(owner_->thread == self && !owner_->other_process)) return std::nullopt;
    if (owner_) {
        ++recursion_;
        return wait_result::kObject0;
    }
    owner_ = Owner{self, false};
    recursion_ = 1;
    if (abandoned_) {
        abandoned_ = false;
        return wait_result::kAbandoned;
    }
    return wait_result::kObject0;
}

bool SimMutex::Release() {
    std::lock_guard lock(mutex_);
    if (!owner_ || owner_->other_process || owner_->thread != std::this_thread::get_id()) return false;
    if (--recursion_ == 0) owner_.reset();
    return true;
}

void SimMutex::HoldByOtherProcess() {
    std::lock_guard lock(mutex_);
    owner_ = Owner{std::thread::id(), true};
    recursion_ = 1;
}

void SimMutex::AbandonByOtherProcess() {
    std::lock_guard lock(mutex_);
    if (owner_ && owner_->other_process) {
        owner_.reset();
        recursion_ = 0;
        abandoned_ = true;
    }
}

void SimMutex::AbandonByOwnProcess() {
    std::lock_guard lock(mutex_);
    if (owner_ && !owner_->other_process) {
        owner_.reset();
        recursion_ = 0;
        abandoned_ = true;
    }
}

bool SimMutex::IsOwnedByCallingThread() const {
    std::lock_guard lock(mutex_);
    return owner_ && !owner_->other_process && owner_->thread == std::this_thread::get_id();
}

bool SimMutex::IsOwned() const {
    std::lock_guard lock(mutex_);
    return owner_.has_value();
}

}  // namespace telvo::platform::sim
