#pragma once

#include <cstdint>
#include <span>

#include "winformat/ace.h"
#include "winformat/sid.h"

namespace telvo::winformat {

enum class SidInAce : std::uint8_t {
    absent,
    named,        // the ACE's SID is the SID
    maybe_named,  // an opaque ACE whose bytes contain the SID's bytes
};

// Basic and object ACEs compare their SID. An opaque ACE cannot be read, so
// its bytes, header included, are scanned for the SID's bytes at every offset.
SidInAce FindSidInAce(const Ace& ace, const Sid& sid);

bool ContainsSidBytes(std::span<const std::uint8_t> bytes, const Sid& sid);

}  // namespace telvo::winformat
