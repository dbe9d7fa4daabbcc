#pragma once

#include <cstdint>

#include "common/error.h"
#include "winformat/acl.h"
#include "winformat/sid.h"

namespace telvo::windows {

// Whether a DACL entry names the SID, by its type byte:
// - allowed, denied and their callback forms (0, 1, 9, 10) and the four
//   object types (5, 6, 11, 12) carry the SID in their body;
// - any other type is opaque: when its bytes contain the SID's bytes the entry
//   may name it, which fails "unsupported DACL ACE may contain the
//   AppContainer SID", since such an entry could be neither read nor removed
//   exactly.
Result<bool> FindSidInAce(const winformat::Ace& ace, const winformat::Sid& sid);

// Whether any entry names the SID (errors of FindSidInAce pass through).
Result<bool> AclNamesSid(const winformat::Acl& acl, const winformat::Sid& sid);

// The unions of the masks of the allowed and of the denied entries naming the SID.
struct SidAccess {
    std::uint32_t allowed = 0;
    std::uint32_t denied = 0;
};

// Over the entries that name the SID; inherit-only entries count only when
// asked. An entry naming the SID that is neither ACCESS_ALLOWED nor
// ACCESS_DENIED fails "unexpected conditional/object AppContainer grant".
Result<SidAccess> SummarizeSidAces(const winformat::Acl& acl, const winformat::Sid& sid, bool include_inherit_only);

// A copy of the ACL (same allotted size) without the entries that name the SID.
Result<winformat::Acl> RemoveSidAces(const winformat::Acl& acl, const winformat::Sid& sid);

}  // namespace telvo::windows
