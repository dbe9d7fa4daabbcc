#pragma once

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// Rewrites the whole journal file under the metadata lock: the JSON (at most
// 4 MiB) goes to "<journal>.new", is flushed, and then replaces the journal
// in one rename. A failure leaves the previous journal as it was and removes
// the temporary file.
Result<void> WriteJournal(platform::Platform& platform, const JournalRecord& record);

}  // namespace telvo::windows
