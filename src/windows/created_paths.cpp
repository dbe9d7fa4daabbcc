#include "windows/created_paths.h"

#include <ranges>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winutil/object_open.h"
#include "winutil/stable_identity.h"
#include "winformat/text.h"

namespace telvo::windows {

namespace {

using platform::win32_error::kDirNotEmpty;
using platform::win32_error::kFileNotFound;
using platform::win32_error::kPathNotFound;
using platform::win32_error::kSharingViolation;

// The object's identity; the handle is closed again, since the removal names the path.
Result<winutil::FileIdentity> CurrentIdentity(platform::Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(platform::UniqueHandle handle, winutil::OpenObjectNoFollow(platform, path, false));
    return winutil::StableIdentity(platform.files, handle.get(), path);
}

// Whether anything still has the name: an open asking for no access at all
// succeeds wherever the name exists.
bool StillExists(platform::Platform& platform, const std::u16string& path) {
    auto opened = platform.files.CreateFileW(
        path, 0, platform::file_share::kRead | platform::file_share::kWrite | platform::file_share::kDelete,
        platform::creation_disposition::kOpenExisting,
        platform::file_flag::kBackupSemantics | platform::file_flag::kOpenReparsePoint);
    if (opened) {
        platform::UniqueHandle close(platform.kernel, *opened);
        return true;
    }
    return opened.error() != SysError::Win32(kFileNotFound) && opened.error() != SysError::Win32(kPathNotFound);
}

}  // namespace

void RemoveCreatedPaths(platform::Platform& platform, std::span<const winutil::RecordedPath> created,
                        std::vector<std::string>& failures) {
    for (const winutil::RecordedPath& recorded : created | std::views::reverse) {
        auto wide = winformat::Utf8ToUtf16(recorded.path);
        if (!wide) {
            failures.push_back("inspect " + recorded.path + ": " + wide.error().Display());
            continue;
        }
        auto identity = CurrentIdentity(platform, recorded.path);
        if (!identity) {
            if (!identity.error().IsWin32(kFileNotFound) && StillExists(platform, *wide)) {
                failures.push_back("inspect " + recorded.path + ": " + identity.error().Display());
            }
            continue;
        }
        if (*identity != recorded.identity) continue;
        auto removed = platform.files.RemoveDirectoryW(*wide);
        if (!removed && removed.error() != SysError::Win32(kSharingViolation) &&
            removed.error() != SysError::Win32(kDirNotEmpty)) {
            failures.push_back("remove " + recorded.path + ": " +
                               Error::FromSys("RemoveDirectoryW", removed.error()).Display());
        }
    }
}

}  // namespace telvo::windows
