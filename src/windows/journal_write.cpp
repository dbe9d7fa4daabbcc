#include "windows/journal_write.h"

#include <span>
#include <string>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "windows/journal_json.h"
#include "windows/metadata_lock.h"
#include "winformat/text.h"

namespace telvo::windows {

namespace {

using namespace platform;

constexpr int kReplaceAttempts = 21;
constexpr std::uint32_t kReplaceRetryDelayMs = 10;

Result<void> WriteAll(Platform& platform, Handle file, std::string_view text) {
    std::span<const std::byte> rest = std::as_bytes(std::span(text));
    while (!rest.empty()) {
        auto written = platform.kernel.WriteFile(file, rest);
        if (!written) return FailSys("WriteFile", written.error());
        if (*written == 0 || *written > rest.size()) return Fail("WriteFile made no progress");
        rest = rest.subspan(*written);
    }
    return {};
}

// Create or truncate, write everything, flush and close.
Result<void> WriteTemporary(Platform& platform, const std::u16string& temporary, std::string_view text) {
    auto created = platform.files.CreateFileW(temporary, file_access::kGenericWrite, 0,
                                              creation_disposition::kCreateAlways, file_attribute::kNormal);
    if (!created) return FailSys("CreateFileW", created.error());
    UniqueHandle file(platform.kernel, *created);
    TELVO_TRY(WriteAll(platform, file.get(), text));
    if (auto flushed = platform.files.FlushFileBuffers(file.get()); !flushed) {
        return FailSys("FlushFileBuffers", flushed.error());
    }
    return {};
}

// Sharing violations and access denials are what a scanner or indexer
// holding either file for a moment causes; they are waited out briefly.
Result<void> Replace(Platform& platform, const std::u16string& temporary, const std::u16string& journal,
                     const std::string& journal_path) {
    for (int attempt = 1;; ++attempt) {
        auto moved = platform.files.MoveFileExW(temporary, journal,
                                                movefile_flag::kReplaceExisting | movefile_flag::kWriteThrough);
        if (moved) return {};
        const bool transient = moved.error() == SysError::Win32(win32_error::kSharingViolation) ||
                               moved.error() == SysError::Win32(win32_error::kAccessDenied);
        if (!transient || attempt == kReplaceAttempts) {
            (void)platform.files.DeleteFileW(temporary);
            return FailSys("MoveFileExW(" + journal_path + ")", moved.error());
        }
        platform.kernel.Sleep(kReplaceRetryDelayMs);
    }
}

}  // namespace

Result<void> WriteJournal(Platform& platform, const JournalRecord& record) {
    auto text = EncodeJournal(record.data);
    if (!text) return Fail(std::move(text.error()).Context("could not serialize recovery journal " + record.path));
    if (text->size() > kMaxJournalBytes) return Fail("Windows sandbox recovery journal exceeded 4 MiB");

    const std::string temporary_path = record.path + ".new";
    TELVO_TRY_ASSIGN(std::u16string journal, winformat::Utf8ToUtf16(record.path));
    TELVO_TRY_ASSIGN(std::u16string temporary, winformat::Utf8ToUtf16(temporary_path));

    TELVO_TRY_ASSIGN(MutexLockGuard lock, AcquireMetadataLock(platform));
    if (auto written = WriteTemporary(platform, temporary, *text); !written) {
        // Whatever part of the file was made goes; the journal is untouched.
        (void)platform.files.DeleteFileW(temporary);
        return Fail(std::move(written.error()).Context("could not write journal " + temporary_path));
    }
    return Replace(platform, temporary, journal, record.path);
}

}  // namespace telvo::windows
