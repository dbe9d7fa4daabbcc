#include "windows/journal_create.h"

#include "common/try.h"
#include "identity/profile.h"
#include "platform/unique_handle.h"
#include "windows/journal_validation.h"
#include "windows/journal_write.h"
#include "winutil/create_directories.h"
#include "winutil/recorded_path.h"
#include "winformat/text.h"

namespace telvo::windows {

namespace {

using namespace platform;

std::string JournalPath(std::string_view directory, std::string_view profile_name) {
    std::string path(directory);
    if (!path.ends_with('\\') && !path.ends_with('/')) path += '\\';
    return path + std::string(profile_name) + ".json";
}

// Whether anything, even a dangling link, has the journal's name.
Result<bool> NameExists(Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto opened = platform.files.CreateFileW(wide, file_access::kReadAttributes,
                                             file_share::kRead | file_share::kWrite | file_share::kDelete,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (opened) {
        UniqueHandle close(platform.kernel, *opened);
        return true;
    }
    if (opened.error() == SysError::Win32(win32_error::kFileNotFound)) return false;
    return FailSys("CreateFileW(" + path + ")", opened.error());
}

}  // namespace

Result<JournalRecord> CreateJournal(Platform& platform, std::string_view recovery_directory,
                                    std::string_view profile_name, std::string_view mutex_name,
                                    const std::vector<std::string>& authority_paths) {
    TELVO_TRY(identity::ValidateProfileName(profile_name));
    if (authority_paths.empty()) return Fail("a recovery journal requires at least one authority");

    JournalRecord record;
    record.data.journal_version = kJournalVersion;
    record.data.profile_name = profile_name;
    record.data.mutex_name = mutex_name;
    for (const std::string& path : authority_paths) {
        TELVO_TRY_ASSIGN(auto recorded, winutil::CaptureRecordedPath(platform, path));
        record.data.authorities.push_back(std::move(recorded));
    }

    if (auto created = winutil::CreateDirectories(platform, recovery_directory); !created) {
        return Fail(std::move(created.error()).Context("could not create recovery directory " +
                                                       std::string(recovery_directory)));
    }
    record.path = JournalPath(recovery_directory, profile_name);
    TELVO_TRY_ASSIGN(bool exists, NameExists(platform, record.path));
    if (exists) return Fail("recovery journal identity collision");

    TELVO_TRY(ValidateJournal(platform.system, record.data));
    TELVO_TRY(WriteJournal(platform, record));
    return record;
}

}  // namespace telvo::windows
