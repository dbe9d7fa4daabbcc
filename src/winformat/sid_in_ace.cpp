#include "winformat/sid_in_ace.h"

#include <algorithm>

namespace telvo::winformat {

SidInAce FindSidInAce(const Ace& ace, const Sid& sid) {
    if (const Sid* own = ace.sid()) return *own == sid ? SidInAce::named : SidInAce::absent;
    return ContainsSidBytes(ace.Serialize(), sid) ? SidInAce::maybe_named : SidInAce::absent;
}

bool ContainsSidBytes(std::span<const std::uint8_t> bytes, const Sid& sid) {
    const auto needle = sid.bytes();
    return std::ranges::search(bytes, needle).begin() != bytes.end();
}

}  // namespace telvo::winformat
