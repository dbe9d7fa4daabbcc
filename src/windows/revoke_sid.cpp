#include "windows/revoke_sid.h"

#include "common/try.h"
#include "windows/metadata_lock.h"
#include "windows/object_local_dacl.h"
#include "windows/raw_dacl.h"
#include "windows/sid_aces.h"

namespace telvo::windows {

Result<void> RevokeSidFromObject(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(winformat::Acl remaining, RemoveSidAces(current.dacl(), sid));
    if (remaining.aces().size() == current.dacl().aces().size()) return {};
    return WriteObjectLocalDacl(platform, handle, remaining);
}

}  // namespace telvo::windows
