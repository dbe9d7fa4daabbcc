#include "windows/journal_finish.h"

#include "common/try.h"
#include "windows/metadata_lock.h"
#include "winformat/text.h"

namespace telvo::windows {

Result<void> FinishJournal(platform::Platform& platform, const JournalRecord& record,
                           const JournalCleanup& exact_cleanup) {
    TELVO_TRY(exact_cleanup(record.data));
    return RemoveJournalFile(platform, record.path, "could not remove completed journal " + record.path);
}

Result<void> RemoveJournalFile(platform::Platform& platform, std::string_view path, std::string failure_message) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    TELVO_TRY_ASSIGN(MutexLockGuard lock, AcquireMetadataLock(platform));
    auto removed = platform.files.DeleteFileW(wide);
    if (!removed) return Fail(Error::FromSys("DeleteFileW", removed.error()).Context(std::move(failure_message)));
    return {};
}

}  // namespace telvo::windows
