#include "winutil/directory_listing.h"

#include "platform/unique_handle.h"
#include "winformat/text.h"

namespace telvo::winutil {

using namespace platform;

Result<std::vector<std::string>> ListDirectory(Platform& platform, Handle directory, std::size_t max_names) {
    auto reopened = platform.files.ReOpenFile(directory, file_access::kListDirectory | file_access::kSynchronize,
                                              file_share::kRead | file_share::kWrite,
                                              file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (!reopened) return FailSys("ReOpenFile(list directory)", reopened.error());
    UniqueHandle listing(platform.kernel, *reopened);

    std::vector<std::string> names;
    std::uint32_t information_class = file_info_class::kIdBothDirectoryRestartInfo;
    while (names.size() < max_names) {
        auto batch = platform.files.GetFileInformationByHandleEx(listing.get(), information_class);
        if (!batch) {
            const bool first = information_class == file_info_class::kIdBothDirectoryRestartInfo;
            if (batch.error() == SysError::Win32(win32_error::kNoMoreFiles) ||
                (first && batch.error() == SysError::Win32(win32_error::kFileNotFound))) {
                break;
            }
            return FailSys("GetFileInformationByHandleEx(FileIdBothDirectoryInfo)", batch.error());
        }
        if (batch->empty()) break;
        information_class = file_info_class::kIdBothDirectoryInfo;
        for (const auto& entry : *batch) {
            if (entry.file_name == u"." || entry.file_name == u"..") continue;
            auto name = winformat::Utf16ToUtf8(entry.file_name);
            if (!name) return Fail(std::move(name.error()).Context("directory entry name is not valid text"));
            names.push_back(std::move(*name));
            if (names.size() == max_names) break;
        }
    }
    return names;
}

}  // namespace telvo::winutil
