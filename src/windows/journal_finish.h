#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/platform.h"
#include "windows/journal_data.h"

namespace telvo::windows {

// Undoes exactly what a journal names (the DACL engine's exact cleanup).
using JournalCleanup = std::function<Result<void>(const JournalData&)>;

// The end of a run: the exact cleanup, then the removal of the journal. A
// failed cleanup is returned and keeps the journal for recovery.
Result<void> FinishJournal(platform::Platform& platform, const JournalRecord& record,
                           const JournalCleanup& exact_cleanup);

// Deletes a journal file under the metadata lock; a failure is the cause of
// `failure_message` ("could not remove completed journal <path>" and the like).
Result<void> RemoveJournalFile(platform::Platform& platform, std::string_view path, std::string failure_message);

}  // namespace telvo::windows
