#include "identity/random_bytes.h"

namespace telvo::identity {

Result<void> FillRandom(platform::System& system, std::span<std::uint8_t> bytes) {
    auto filled = system.BCryptGenRandom(bytes, platform::bcrypt_flag::kUseSystemPreferredRng);
    if (!filled) return FailSys("BCryptGenRandom", filled.error());
    return {};
}

}  // namespace telvo::identity
