#include "platform/sim/sim_dos_devices.h"

#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

void SimDosDevices::Add(char16_t letter, SimDosDevice device) {
    std::lock_guard lock(mutex_);
    devices_[winformat::UpcaseUnit(letter)] = std::move(device);
}

void SimDosDevices::Remove(char16_t letter) {
    std::lock_guard lock(mutex_);
    devices_.erase(winformat::UpcaseUnit(letter));
}

std::optional<SimDosDevice> SimDosDevices::Find(char16_t letter) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(winformat::UpcaseUnit(letter));
    if (found == devices_.end()) return std::nullopt;
    return found->second;
}

std::map<char16_t, SimDosDevice> SimDosDevices::All() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

}  // namespace telvo::platform::sim
