#pragma once

#include <span>

#include "common/error.h"
#include "platform/security.h"
#include "winformat/acl.h"

namespace telvo::platform::sim {

// How GRANT_ACCESS combines with an explicit allow entry that the trustee
// already has. windows-notes §3.2 marks this UNCONFIRMED: the documentation
// says the rights are "combined"; Wine adds a separate entry. Both are
// modelled so that tests can prove the system does not depend on the rule.
enum class GrantMerge {
    combine_matching_entry,  // OR the rights into the explicit ACCESS_ALLOWED entry with the same flags
    add_separate_entry,      // always add a new entry, as Wine does
};
inline constexpr GrantMerge kDefaultGrantMerge = GrantMerge::combine_matching_entry;

// SetEntriesInAclW as windows-notes §3.2 describes it, for the modes the
// system uses:
// - SET_ACCESS discards every explicit entry of the trustee (allow and deny),
//   then adds the new allow entry;
// - GRANT_ACCESS adds the new allow entry (or combines, see GrantMerge);
//   existing deny entries of the trustee are kept (whether Windows strips the
//   granted bits from them is not documented; assumed not);
// - the new allow entries go, in the order given, before the first explicit
//   allow entry, that is after the explicit deny entries, and never after an
//   inherited entry (the documentation says "before the first allow entry";
//   an inherited deny entry in front of it is assumed not to pull the new
//   explicit entries behind it);
// - inherited entries are never changed; the result is sized exactly.
// Other access modes and trustee forms fail with ERROR_INVALID_PARAMETER.
SysResult<winformat::Acl> MergeEntriesInAcl(std::span<const ExplicitAccess> entries, const winformat::Acl* old_acl,
                                          GrantMerge rule);

}  // namespace telvo::platform::sim
