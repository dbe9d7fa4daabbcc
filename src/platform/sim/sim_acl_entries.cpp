#include "platform/sim/sim_acl_entries.h"

#include <algorithm>
#include <vector>

namespace telvo::platform::sim {

namespace {

using winformat::Ace;
namespace type = winformat::ace_type;
namespace flag = winformat::ace_flag;

bool IsInherited(const Ace& ace) { return (ace.flags() & flag::kInherited) != 0; }

bool IsAllow(const Ace& ace) {
    return ace.type() == type::kAccessAllowed || ace.type() == type::kAccessAllowedObject ||
           ace.type() == type::kAccessAllowedCallback || ace.type() == type::kAccessAllowedCallbackObject;
}

bool NamesTrustee(const Ace& ace, const winformat::Sid& sid) { return ace.sid() != nullptr && *ace.sid() == sid; }

// The explicit ACCESS_ALLOWED entry of the trustee with these flags, if any.
Ace* MatchingAllow(std::vector<Ace>& aces, const winformat::Sid& sid, std::uint8_t flags) {
    for (Ace& ace : aces) {
        if (!IsInherited(ace) && ace.type() == type::kAccessAllowed && ace.flags() == flags && NamesTrustee(ace, sid)) {
            return &ace;
        }
    }
    return nullptr;
}

}  // namespace

SysResult<winformat::Acl> MergeEntriesInAcl(std::span<const ExplicitAccess> entries, const winformat::Acl* old_acl,
                                          GrantMerge rule) {
    std::vector<Ace> aces;
    std::uint8_t revision = winformat::acl_revision::kRevision;
    if (old_acl != nullptr) {
        aces = old_acl->aces();
        revision = old_acl->revision();
    }
    std::vector<Ace> added;  // the new allow entries, in the order given
    for (const ExplicitAccess& entry : entries) {
        if (entry.trustee.form != trustee_form::kIsSid) {
            return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
        }
        const winformat::Sid& sid = entry.trustee.sid;
        const auto flags = static_cast<std::uint8_t>(entry.inheritance & flag::kValidInheritFlags & ~flag::kInherited);
        switch (entry.access_mode) {
            case access_mode::kGrant:
                if (rule == GrantMerge::combine_matching_entry) {
                    Ace* match = MatchingAllow(added, sid, flags);
                    if (match == nullptr) match = MatchingAllow(aces, sid, flags);
                    if (match != nullptr) {
                        *match = Ace::Allowed(*match->mask() | entry.access_permissions, sid, flags);
                        break;
                    }
                }
                added.push_back(Ace::Allowed(entry.access_permissions, sid, flags));
                break;
            case access_mode::kSet: {
                const auto explicit_for_trustee = [&](const Ace& ace) { return !IsInherited(ace) && NamesTrustee(ace, sid); };
                std::erase_if(aces, explicit_for_trustee);
                std::erase_if(added, explicit_for_trustee);
                added.push_back(Ace::Allowed(entry.access_permissions, sid, flags));
                break;
            }
            default:
                return std::unexpected(SysError::Win32(win32_error::kInvalidParameter));
        }
    }
    const auto at = std::find_if(aces.begin(), aces.end(), [](const Ace& ace) { return IsInherited(ace) || IsAllow(ace); });
    aces.insert(at, added.begin(), added.end());
    return winformat::Acl::Fitted(revision, std::move(aces));
}

}  // namespace telvo::platform::sim
