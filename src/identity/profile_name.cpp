#include "identity/profile_name.h"

#include <algorithm>
#include <array>

#include "common/try.h"
#include "identity/hex_text.h"
#include "identity/random_bytes.h"

namespace telvo::identity {

Result<std::string> NewProfileName(platform::System& system) {
    std::array<std::uint8_t, kProfileNameDigits / 2> random{};
    TELVO_TRY(FillRandom(system, random));
    std::string name(kProfileNamePrefix);
    AppendLowerHex(name, random);
    return name;
}

Result<void> ValidateProfileName(std::string_view name) {
    if (name.size() != kProfileNameLength || !name.starts_with(kProfileNamePrefix) ||
        !std::ranges::all_of(name.substr(kProfileNamePrefix.size()), IsHexDigit)) {
        return Fail("invalid Telvo AppContainer profile name");
    }
    return {};
}

}  // namespace telvo::identity
