#include "windows/authority_revoke.h"

#include <string>

#include "common/try.h"
#include "windows/raw_dacl.h"
#include "windows/revoke_sid.h"
#include "windows/sid_aces.h"

namespace telvo::windows {

Result<void> RevokeAuthorityObject(platform::Platform& platform, std::string_view path, platform::Handle handle,
                                   const winformat::Sid& sid) {
    auto revoked = RevokeSidFromObject(platform, handle, sid);
    if (!revoked) return Fail(std::move(revoked.error()).Context("revoke " + std::string(path)));
    return {};
}

Result<void> VerifySidAbsent(platform::Platform& platform, std::string_view path, platform::Handle handle,
                             const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(const bool named, AclNamesSid(current.dacl(), sid));
    if (named) return Fail("AppContainer SID ACE remains after cleanup on " + std::string(path));
    return {};
}

}  // namespace telvo::windows
