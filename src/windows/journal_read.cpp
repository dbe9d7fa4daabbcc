#include "windows/journal_read.h"

#include <string>
#include <vector>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "windows/journal_json.h"
#include "windows/journal_validation.h"
#include "winformat/text.h"

namespace telvo::windows {

namespace {

using namespace platform;

// Opens the name itself, so that a link is seen rather than followed, and a
// directory opens to be refused.
Result<UniqueHandle> OpenJournal(Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto opened = platform.files.CreateFileW(wide, file_access::kFileGenericRead, file_share::kRead,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (!opened) return Fail(Error::FromSys("CreateFileW", opened.error()).Context("could not read " + path));
    return UniqueHandle(platform.kernel, *opened);
}

// At most one byte more than a journal may hold.
Result<std::string> ReadBounded(Platform& platform, Handle file, const std::string& path) {
    std::string text(kMaxJournalBytes + 1, '\0');
    std::size_t total = 0;
    while (total < text.size()) {
        auto read = platform.kernel.ReadFile(file, std::as_writable_bytes(std::span(text)).subspan(total));
        if (!read) return Fail(Error::FromSys("ReadFile", read.error()).Context("could not read " + path));
        if (*read == 0) break;
        total += *read;
    }
    if (total > kMaxJournalBytes) return Fail("oversized recovery journal " + path);
    text.resize(total);
    return text;
}

}  // namespace

Result<JournalData> ReadJournalFile(Platform& platform, std::string_view path_text) {
    const std::string path(path_text);
    TELVO_TRY_ASSIGN(UniqueHandle file, OpenJournal(platform, path));
    auto info = platform.files.GetFileInformationByHandle(file.get());
    if (!info) return Fail(Error::FromSys("GetFileInformationByHandle", info.error()).Context("could not read " + path));
    const std::uint64_t size = (std::uint64_t{info->file_size_high} << 32) | info->file_size_low;
    // Any reparse point is refused: the tag, which tells links from other
    // kinds, is not needed to know that a journal is never one.
    if ((info->file_attributes & (file_attribute::kReparsePoint | file_attribute::kDirectory)) ||
        size > kMaxJournalBytes) {
        return Fail("invalid recovery journal " + path);
    }
    TELVO_TRY_ASSIGN(std::string text, ReadBounded(platform, file.get(), path));
    auto data = DecodeJournal(text);
    if (!data) return Fail(std::move(data.error()).Context("invalid recovery journal " + path));
    TELVO_TRY(ValidateJournal(platform.system, *data));
    return std::move(*data);
}

}  // namespace telvo::windows
