#include "platform/sim/sim_system.h"

#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

namespace {
// BCRYPT_RNG_USE_ENTROPY_IN_BUFFER; accepted and ignored since Windows 8.
constexpr std::uint32_t kUseEntropyInBuffer = 0x00000001;
}  // namespace

SysResult<void> SimSystem::BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) {
    if (auto fault = host_.Enter("BCryptGenRandom")) return std::unexpected(*fault);
    // Without an algorithm handle the system-preferred RNG flag is required.
    // Assumed (unconfirmed): its absence is reported as an invalid handle and
    // any unknown flag bit as an invalid parameter.
    if ((flags & bcrypt_flag::kUseSystemPreferredRng) == 0) {
        return std::unexpected(SysError::NtStatus(ntstatus::kInvalidHandle));
    }
    if ((flags & ~(bcrypt_flag::kUseSystemPreferredRng | kUseEntropyInBuffer)) != 0) {
        return std::unexpected(SysError::NtStatus(ntstatus::kInvalidParameter));
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        if (i % 8 == 0) word = NextRandom();
        buffer[i] = static_cast<std::uint8_t>(word >> (8 * (i % 8)));
    }
    return {};
}

// SplitMix64.
std::uint64_t SimSystem::NextRandom() {
    std::uint64_t z = (random_state_ += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

}  // namespace telvo::platform::sim
