#include "winutil/stable_identity.h"

#include <string>

#include "common/try.h"

namespace telvo::winutil {

using namespace platform;

Result<FileInformation> ReadFileInformation(Files& files, Handle handle) {
    auto info = files.GetFileInformationByHandle(handle);
    if (!info) return FailSys("GetFileInformationByHandle", info.error());
    return *info;
}

Result<FileIdentity> CheckStableIdentity(const FileInformation& info, std::string_view path) {
    if (info.file_attributes & file_attribute::kReparsePoint) {
        return Fail("reparse points are not accepted in a Windows sandbox authority: " + std::string(path));
    }
    if (info.number_of_links >= 2) {
        return Fail("hard-linked objects are not accepted in a Windows sandbox authority: " + std::string(path));
    }
    return FileIdentity{info.volume_serial_number,
                        (std::uint64_t{info.file_index_high} << 32) | info.file_index_low};
}

Result<FileIdentity> StableIdentity(Files& files, Handle handle, std::string_view path) {
    TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(files, handle));
    return CheckStableIdentity(info, path);
}

}  // namespace telvo::winutil
