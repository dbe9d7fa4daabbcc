#include "winutil/create_directories.h"

#include <string>
#include <vector>

#include "common/try.h"
#include "platform/unique_handle.h"
#include "winutil/local_path.h"
#include "winformat/text.h"

namespace telvo::winutil {

namespace {

using namespace platform;

// The path and its ancestors below the volume root, the deepest first.
std::vector<std::string> SelfAndAncestors(std::string_view path) {
    const PathSyntax syntax = ParsePathSyntax(path);
    std::vector<std::string> paths;
    for (auto it = syntax.components.rbegin(); it != syntax.components.rend(); ++it) {
        paths.emplace_back(path.substr(0, static_cast<std::size_t>(it->data() + it->size() - path.data())));
    }
    return paths;
}

Result<void> RequireDirectory(Platform& platform, const std::string& path, const std::u16string& wide) {
    auto opened = platform.files.CreateFileW(wide, file_access::kReadAttributes,
                                             file_share::kRead | file_share::kWrite | file_share::kDelete,
                                             creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
    if (!opened) return FailSys("CreateFileW(" + path + ")", opened.error());
    UniqueHandle handle(platform.kernel, *opened);
    auto info = platform.files.GetFileInformationByHandle(handle.get());
    if (!info) return FailSys("GetFileInformationByHandle", info.error());
    if (!(info->file_attributes & file_attribute::kDirectory)) {
        return FailSys("CreateDirectoryW(" + path + ")", SysError::Win32(win32_error::kAlreadyExists));
    }
    return {};
}

// Creates one directory; true when it was missing, false when it existed.
// A missing parent is reported as such.
Result<bool> CreateOne(Platform& platform, const std::string& path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto made = platform.files.CreateDirectoryW(wide);
    if (made) return true;
    if (made.error() == SysError::Win32(win32_error::kAlreadyExists)) {
        TELVO_TRY(RequireDirectory(platform, path, wide));
        return false;
    }
    return FailSys("CreateDirectoryW(" + path + ")", made.error());
}

constexpr std::uint32_t kLevelAccess =
    file_access::kExecute /* FILE_TRAVERSE */ | file_access::kReadAttributes | file_access::kSynchronize;
constexpr std::uint32_t kLevelOptions = nt_create_option::kDirectoryFile | nt_create_option::kSynchronousIoNonalert |
                                        nt_create_option::kOpenReparsePoint;
constexpr std::uint32_t kStatusNotADirectory = 0xC0000103;

}  // namespace

Result<DirectoryLevel> OpenOrCreateDirectoryBelow(Platform& platform, Handle parent, const std::u16string& name,
                                                  std::string_view path) {
    auto opened = platform.files.NtCreateFile(parent, name, kLevelAccess, file_attribute::kNormal,
                                              file_share::kRead | file_share::kWrite | file_share::kDelete,
                                              nt_disposition::kOpenIf, kLevelOptions);
    if (!opened) {
        if (opened.error() == SysError::NtStatus(kStatusNotADirectory)) return DirectoryLevel{};
        return FailSys("NtCreateFile(" + std::string(path) + ")", opened.error());
    }
    UniqueHandle handle(platform.kernel, opened->handle);
    auto info = platform.files.GetFileInformationByHandle(handle.get());
    if (!info) return FailSys("GetFileInformationByHandle", info.error());
    if ((info->file_attributes & file_attribute::kReparsePoint) || !(info->file_attributes & file_attribute::kDirectory)) {
        return DirectoryLevel{};
    }
    using Found = DirectoryLevel::Found;
    return DirectoryLevel{std::move(handle),
                          opened->information == nt_create_result::kCreated ? Found::created : Found::directory};
}

Result<void> CreateDirectories(Platform& platform, std::string_view path) {
    TELVO_TRY(ToExtendedPath(path));
    const std::vector<std::string> paths = SelfAndAncestors(path);
    // Walk up to the deepest directory that exists or can be made, then down.
    std::size_t missing = 0;
    while (missing < paths.size()) {
        auto made = CreateOne(platform, paths[missing]);
        if (made) break;
        if (!made.error().IsWin32(win32_error::kPathNotFound) || missing + 1 == paths.size()) {
            return std::unexpected(std::move(made.error()));
        }
        ++missing;
    }
    for (std::size_t i = missing; i-- > 0;) TELVO_TRY(CreateOne(platform, paths[i]));
    return {};
}

}  // namespace telvo::winutil
