#include "winutil/create_directories.h"

#include <algorithm>

#include "common/try.h"
#include "platform/file_constants.h"
#include "platform/unique_handle.h"
#include "winutil/path_syntax.h"
#include "winutil/text.h"

namespace telvo::winutil {

namespace {

using namespace platform;

// An object that already stands at `path` must be a directory.
Result<void> RequireDirectory(Platform& platform, const std::u16string& path) {
    auto opened = platform.files.CreateFileW(path, file_access::kReadAttributes,
                                             file_share::kRead | file_share::kWrite | file_share::kDelete,
                                             creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
    if (!opened) return FailSys("CreateFileW", opened.error());
    UniqueHandle handle(platform.kernel, *opened);
    auto info = platform.files.GetFileInformationByHandle(handle.get());
    if (!info) return FailSys("GetFileInformationByHandle", info.error());
    if (!(info->file_attributes & file_attribute::kDirectory)) {
        return Fail(Error::Win32("CreateDirectoryW", win32_error::kAlreadyExists));
    }
    return {};
}

}  // namespace

Result<void> CreateDirectoryWithParents(Platform& platform, std::string_view path) {
    const PathSyntax syntax = ParsePathSyntax(path);
    if (!IsAbsoluteDrivePath(syntax)) return Fail("not an absolute local drive path: " + std::string(path));
    TELVO_TRY_ASSIGN(std::u16string wide, Utf8ToUtf16(path));
    if (syntax.prefix != PathPrefix::verbatim_drive) std::replace(wide.begin(), wide.end(), u'/', u'\\');
    // Each separator after the root ends one ancestor; the path itself is last.
    const std::size_t root_end = wide.find(u'\\', wide.find(u':')) + 1;
    for (std::size_t end = wide.find(u'\\', root_end);; end = wide.find(u'\\', end + 1)) {
        const std::u16string prefix = wide.substr(0, end);
        if (prefix.size() > root_end) {
            auto created = platform.files.CreateDirectoryW(prefix);
            if (!created) {
                if (created.error() != SysError::Win32(win32_error::kAlreadyExists)) {
                    return FailSys("CreateDirectoryW", created.error());
                }
                TELVO_TRY(RequireDirectory(platform, prefix));
            }
        }
        if (end == std::u16string::npos) return {};
    }
}

}  // namespace telvo::winutil
