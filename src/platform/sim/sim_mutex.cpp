#include "platform/sim/sim_mutex.h"

#include "platform/kernel.h"
#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SimMutex::SimMutex(SimHost& host, std::u16string name) : host_(host), name_(std::move(name)) {
    host_.changes().Note([&] { return SimChange{SimChange::Kind::mutex_created, name_}; });
}

SimMutex::~SimMutex() {
    host_.changes().Note([&] { return SimChange{SimChange::Kind::mutex_destroyed, name_}; });
}

SimMutex::Owner SimMutex::Caller() const { return Owner{host_.caller().id(), std::this_thread::get_id()}; }

void SimMutex::SettleLocked() {
    if (release_at_ && host_.clock().Now() >= *release_at_) {
        release_at_.reset();
        owner_.reset();
        recursion_ = 0;
    }
}

std::optional<std::uint32_t> SimMutex::TryWait() {
    const Owner self = Caller();
    std::lock_guard lock(mutex_);
    SettleLocked();
    if (owner_ && *owner_ != self) return std::nullopt;
    if (owner_) {
        ++recursion_;
        return wait_result::kObject0;
    }
    owner_ = self;
    recursion_ = 1;
    if (abandoned_) {
        abandoned_ = false;
        return wait_result::kAbandoned;
    }
    return wait_result::kObject0;
}

bool SimMutex::Release() {
    const Owner self = Caller();
    std::lock_guard lock(mutex_);
    if (!owner_ || *owner_ != self) return false;
    if (--recursion_ == 0) owner_.reset();
    return true;
}

void SimMutex::HoldByOtherProcess() {
    std::lock_guard lock(mutex_);
    owner_ = Owner{kOtherProcess, std::thread::id()};
    recursion_ = 1;
    release_at_.reset();
}

void SimMutex::HoldByOtherProcessUntil(std::uint64_t release_at) {
    HoldByOtherProcess();
    std::lock_guard lock(mutex_);
    release_at_ = release_at;
}

std::optional<std::uint64_t> SimMutex::SignalledAt() const {
    std::lock_guard lock(mutex_);
    return release_at_;
}

void SimMutex::AbandonByOtherProcess() { AbandonByProcess(kOtherProcess); }

void SimMutex::AbandonByProcess(std::uint32_t process_id) {
    std::lock_guard lock(mutex_);
    if (owner_ && owner_->process_id == process_id) {
        owner_.reset();
        recursion_ = 0;
        abandoned_ = true;
    }
}

bool SimMutex::IsOwnedByCallingThread() const {
    const Owner self = Caller();
    std::lock_guard lock(mutex_);
    return owner_ == self;
}

bool SimMutex::IsOwned() const {
    std::lock_guard lock(mutex_);
    if (release_at_ && host_.clock().Now() >= *release_at_) return false;
    return owner_.has_value();
}

bool SimMutex::IsAbandoned() const {
    std::lock_guard lock(mutex_);
    return abandoned_;
}

}  // namespace telvo::platform::sim
