#pragma once

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace telvo::platform::sim {

class SimHost;

// Machine facts of the simulated host. Random bytes come from a seedable
// deterministic generator, so that a test can predict them.
class SimSystem final : public System {
public:
    explicit SimSystem(SimHost& host) : host_(host) {}

    SysResult<void> BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) override;

    // Test side.
    void SeedRandom(std::uint64_t seed) { random_state_ = seed; }
    void SetLocalAppData(std::u16string path) { local_app_data_ = std::move(path); }
    // The LocalAppData known folder of the current user.
    const std::u16string& LocalAppData() const { return local_app_data_; }

private:
    std::uint64_t NextRandom();

    SimHost& host_;
    std::uint64_t random_state_ = 0x7e1f0c0ffee5eed5;
    std::u16string local_app_data_ = u"C:\\Users\\tester\\AppData\\Local";
};

}  // namespace telvo::platform::sim
