#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace telvo::platform::sim {

// Drive letters that name something other than a volume root or a SUBST
// folder (windows-notes 11.5): a redirected drive (its mapping names a folder
// inside a volume device, \Device\HarddiskVolume3\dir) or a mapped network
// drive (\Device\LanmanRedirector\;Z:<logon LUID>\server\share). Such a
// letter has no files in the sim: GetDriveTypeW reports the type recorded for
// it and QueryDosDeviceW its mapping; opening a path on it fails as a missing
// volume does. A letter listed here hides a volume or SUBST drive of the same
// letter, as a per-session mapping does.
struct SimDosDevice {
    std::u16string mapping;
    std::uint32_t drive_type = 0;
    bool operator==(const SimDosDevice&) const = default;
};

class SimDosDevices {
public:
    void Add(char16_t letter, SimDosDevice device);
    void Remove(char16_t letter);
    std::optional<SimDosDevice> Find(char16_t letter) const;
    std::map<char16_t, SimDosDevice> All() const;

private:
    mutable std::mutex mutex_;
    std::map<char16_t, SimDosDevice> devices_;
};

}  // namespace telvo::platform::sim
