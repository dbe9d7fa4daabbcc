#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/global_locks.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::windows {

// One object's DACL: read raw, searched for a SID, merged and written back to
// this object only. Every change is a read-modify-write inside one hold of the
// metadata lock: the functions that write take the caller's guard of that
// lock as proof that it is held across the read and the write.

// The descriptor an object's DACL was read in (self-relative, DACL part
// only), parsed; its DACL is present and not null.
struct ObjectDescriptor {
    winformat::SecurityDescriptor descriptor;

    const winformat::Acl& dacl() const { return *descriptor.dacl.acl(); }
};

inline constexpr std::uint32_t kMaxRawDescriptorSize = 0x20000;

// A self-relative descriptor that a security call handed out. Bytes that do
// not parse fail as the Win32 call that would have walked them
// ("<operation> failed with Win32 error 1338"), with the reason as the cause.
Result<winformat::SecurityDescriptor> ParseDescriptor(std::span<const std::uint8_t> bytes, std::string_view operation);

// Reads the DACL through NtQuerySecurityObject. The first query passes a
// buffer that holds a usual DACL, so that most objects take one call; when it
// is too small it serves as the size probe (1..131072 bytes, else "invalid
// size"), and a DACL that grows between the sized queries is read again, at
// most three sized queries, then "raw DACL changed size repeatedly during
// probe". An absent or null DACL is refused.
Result<ObjectDescriptor> ReadRawDacl(platform::Platform& platform, platform::Handle handle);
// The same read for the cleanup, which writes nothing to a null or absent
// DACL (such a DACL names no SID): the descriptor as it is.
Result<winformat::SecurityDescriptor> ReadRawDaclAsIs(platform::Platform& platform, platform::Handle handle);

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

// What a DACL holds of a SID, for the cleanup: no entry, entries that name it
// (all of them removable), or an entry of an opaque type whose bytes contain
// it, which can be neither read nor removed exactly.
enum class SidPresence { absent, named, hidden };
SidPresence FindSidInAcl(const winformat::Acl& acl, const winformat::Sid& sid);

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

// Writes `acl` as the object's DACL with NtSetSecurityObject, on this object
// only. `held` is the metadata lock, held since `read` was read from this
// object, whose control bits are kept: protected, auto-inherited and
// defaulted as they were, and auto-inheritance requested when the object had
// it requested or applied.
Result<void> WriteObjectLocalDacl(platform::Platform& platform, const MutexLockGuard& held, platform::Handle handle,
                                  const ObjectDescriptor& read, const winformat::Acl& acl);

// Removes every entry naming the SID from the object's DACL, under the
// metadata lock (taken here, or `held` by the caller). Writes only when an
// entry was removed.
Result<void> RevokeSidFromObject(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid);
Result<void> RevokeSidFromObject(platform::Platform& platform, const MutexLockGuard& held, platform::Handle handle,
                                 const winformat::Sid& sid);

}  // namespace telvo::windows
