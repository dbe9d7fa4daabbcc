#pragma once

#include "common/error.h"
#include "platform/system.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// Everything a journal must satisfy before it is written or acted on: a
// valid profile name, a supported version, the matching live-marker name,
// well-formed authorities, mutated paths inside them, and metadata paths that
// are proper ancestors outside every authority and fixed host target (the
// fixed targets are resolved only when there are metadata paths).
Result<void> ValidateJournal(platform::System& system, const JournalData& data);

}  // namespace telvo::windows
