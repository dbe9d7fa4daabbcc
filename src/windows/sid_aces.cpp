#include "windows/sid_aces.h"

#include "common/try.h"
#include "winformat/sid_in_ace.h"

namespace telvo::windows {

using winformat::Ace;
namespace type = winformat::ace_type;

Result<bool> FindSidInAce(const Ace& ace, const winformat::Sid& sid) {
    switch (ace.type()) {
        case type::kAccessAllowed:
        case type::kAccessDenied:
        case type::kAccessAllowedCallback:
        case type::kAccessDeniedCallback:
        case type::kAccessAllowedObject:
        case type::kAccessDeniedObject:
        case type::kAccessAllowedCallbackObject:
        case type::kAccessDeniedCallbackObject: {
            // Parsing placed the SID: at byte 8, or after the object GUIDs the flags announce.
            const winformat::Sid* named = ace.sid();
            return named != nullptr && *named == sid;
        }
        default:
            if (sid.size() > ace.size()) return false;
            if (winformat::ContainsSidBytes(ace.Serialize(), sid)) {
                return Fail("unsupported DACL ACE may contain the AppContainer SID");
            }
            return false;
    }
}

Result<bool> AclNamesSid(const winformat::Acl& acl, const winformat::Sid& sid) {
    bool named = false;
    for (const Ace& ace : acl.aces()) {
        TELVO_TRY_ASSIGN(const bool this_one, windows::FindSidInAce(ace, sid));
        named = named || this_one;
    }
    return named;
}

Result<SidAccess> SummarizeSidAces(const winformat::Acl& acl, const winformat::Sid& sid, bool include_inherit_only) {
    SidAccess access;
    for (const Ace& ace : acl.aces()) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(ace, sid));
        if (!named) continue;
        if (ace.type() != type::kAccessAllowed && ace.type() != type::kAccessDenied) {
            return Fail("unexpected conditional/object AppContainer grant");
        }
        if (!include_inherit_only && (ace.flags() & winformat::ace_flag::kInheritOnly)) continue;
        (ace.type() == type::kAccessAllowed ? access.allowed : access.denied) |= *ace.mask();
    }
    return access;
}

Result<winformat::Acl> RemoveSidAces(const winformat::Acl& acl, const winformat::Sid& sid) {
    winformat::Acl copy = acl;
    for (std::size_t index = copy.aces().size(); index-- > 0;) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(copy.aces()[index], sid));
        if (!named) continue;
        if (auto erased = copy.Erase(index); !erased) return FailSys("DeleteAce(revoke)", erased.error());
    }
    return copy;
}

}  // namespace telvo::windows
