#pragma once

#include <cstddef>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"

namespace telvo::windows {

// The most names the recovery directory is read for; a directory that holds
// more is not walked at all.
inline constexpr std::size_t kMaxRecoveryEntries = 10000;

// Undoes the runs that died and left their journals in `recovery_directory`
// (an extended local path). The caller holds the ACL mutation lock for the
// whole walk.
//
// A directory that cannot be opened holds nothing to recover. Otherwise every
// file named "<stem>.json" (exactly that extension; other names are skipped)
// is read as a journal, in enumeration order: its stem must be a profile name
// and equal the journal's own, and the journal must be a plain file of at most
// 4 MiB that decodes strictly and validates. A run whose live marker still
// exists is left alone. For a dead run the broker first proves its job empty
// and recovers its offline lease (when the journal says one was taken), then
// the exact cleanup undoes the run, and the journal is deleted under the
// metadata lock. A journal's temporary file ("<profile>.json.new") whose run
// is dead was never acted on and is deleted the same way. The first failure
// ends the walk and is returned; the journal it concerns, and every grant it
// names, stays for a later call.
Result<void> RecoverStaleRuns(platform::Platform& platform, std::string_view recovery_directory);

}  // namespace telvo::windows
