#include "windows/metadata_read_ace.h"

#include "common/try.h"
#include "windows/metadata_lock.h"
#include "windows/object_local_dacl.h"
#include "windows/raw_dacl.h"
#include "windows/sid_aces.h"

namespace telvo::windows {

namespace {

using winformat::Ace;
using winformat::Acl;

constexpr std::size_t kMaxBytesWithSid = 0xFFF7;

// The DACL with the entry inserted before its first inherited entry.
Result<Acl> WithMetadataReadAce(const Acl& dacl, const winformat::Sid& sid) {
    const std::size_t in_use = dacl.bytes_in_use();
    if (in_use + sid.size() > kMaxBytesWithSid) return Fail("system-root DACL is too large for metadata preparation");
    auto next = Acl::Create(in_use + sid.size() + 8, dacl.revision());
    if (!next) return FailSys("InitializeAcl(host preparation)", next.error());
    bool inserted = false;
    const auto insert = [&]() -> Result<void> {
        if (auto added = next->Append(Ace::Allowed(kMetadataReadMask, sid)); !added) {
            return FailSys("AddAccessAllowedAce(host preparation)", added.error());
        }
        inserted = true;
        return {};
    };
    for (const Ace& ace : dacl.aces()) {
        if (!inserted && (ace.flags() & winformat::ace_flag::kInherited)) TELVO_TRY(insert());
        if (auto copied = next->Append(ace); !copied) return FailSys("AddAce(host preparation copy)", copied.error());
    }
    if (!inserted) TELVO_TRY(insert());
    return std::move(*next);
}

}  // namespace

Result<bool> MetadataReadAcePresent(const Acl& dacl, const winformat::Sid& sid) {
    int found = 0;
    for (const Ace& ace : dacl.aces()) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(ace, sid));
        if (!named) continue;
        if (ace.type() != winformat::ace_type::kAccessAllowed || ace.flags() != 0 || ace.mask() != kMetadataReadMask ||
            ++found > 1) {
            return Fail("conflicting system-root capability ACE; no permissions changed");
        }
    }
    return found == 1;
}

Result<bool> SetMetadataReadAce(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid,
                                bool wanted) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(RawDacl current, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(const bool present, MetadataReadAcePresent(current.dacl(), sid));
    if (present == wanted) return false;

    TELVO_TRY_ASSIGN(const Acl next, wanted ? WithMetadataReadAce(current.dacl(), sid) : RemoveSidAces(current.dacl(), sid));
    TELVO_TRY(WriteObjectLocalDacl(platform, handle, next));
    TELVO_TRY_ASSIGN(RawDacl after, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(const bool now, MetadataReadAcePresent(after.dacl(), sid));
    if (now != wanted) return Fail("system-root metadata read-back did not match the requested state");
    return true;
}

}  // namespace telvo::windows
