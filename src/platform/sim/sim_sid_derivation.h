#pragma once

#include <string_view>

#include "platform/appcontainer.h"
#include "winformat/sid.h"

namespace telvo::platform::sim {

// The SIDs Windows derives from names, computed as Windows computes them.

// S-1-15-2-<7 RIDs>: SHA-256 of the lower-cased name as UTF-16LE, the first
// 28 bytes read as seven little-endian RIDs. The name must be ASCII (profile
// names are; the caller checks).
winformat::Sid AppContainerSidFromName(std::u16string_view name);

// One group SID (S-1-5-32-<8 RIDs>) and one capability SID: the fixed legacy
// SID for the names that have one (S-1-15-3-<n>), else S-1-15-3-1024-<8 RIDs>,
// both from SHA-256 of the upper-cased name as UTF-16LE.
DerivedCapabilitySids CapabilitySidsFromName(std::u16string_view name);

}  // namespace telvo::platform::sim
