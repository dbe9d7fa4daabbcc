#pragma once

#include <cstdint>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/acl.h"
#include "winformat/sid.h"

namespace telvo::windows {

// SYNCHRONIZE, READ_CONTROL, FILE_READ_EA, FILE_READ_ATTRIBUTES.
inline constexpr std::uint32_t kMetadataReadMask = 0x00120088;

// Whether the DACL carries the metadata-read entry for the SID. Every entry
// naming the SID must be exactly that entry (ACCESS_ALLOWED, no flags, mask
// 0x120088), and there may be one at most; anything else fails "conflicting
// system-root capability ACE; no permissions changed".
Result<bool> MetadataReadAcePresent(const winformat::Acl& dacl, const winformat::Sid& sid);

// Makes the object carry exactly one metadata-read entry for the SID (wanted)
// or none, under the metadata lock; a new entry goes after the explicit and
// before the inherited entries. The result is read back. Returns whether the
// DACL was changed.
Result<bool> SetMetadataReadAce(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid,
                                bool wanted);

}  // namespace telvo::windows
