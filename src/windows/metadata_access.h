#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "windows/global_locks.h"
#include "winformat/acl.h"
#include "winformat/sid.h"

namespace telvo::windows {

// Metadata read access: the one entry that lets a SID read the metadata of a
// directory above an authority (an exact metadata ancestor during a run, with
// the AppContainer SID) or of a fixed host target (with the system-root
// metadata capability SID), and the opening of such an ancestor for WRITE_DAC.

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

// A metadata ancestor opened for WRITE_DAC with the metadata lock held. The
// handle is closed before the lock is released.
struct MetadataWriteDac {
    MutexLockGuard lock;
    platform::UniqueHandle handle;
};

// Takes the metadata lock, proves that `earlier` (a handle opened without
// WRITE_DAC) still names `path`, and opens the same directory again with
// WRITE_DAC and READ_CONTROL without following reparse points. A refused open
// names the directory's owner and the caller ("metadata WRITE_DAC
// unavailable; ..."); the new handle must name the same path and object.
Result<MetadataWriteDac> OpenMetadataAncestorForWriteDac(platform::Platform& platform, std::string_view path,
                                                         platform::Handle earlier);

}  // namespace telvo::windows
