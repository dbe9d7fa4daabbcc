#include "winutil/regular_file.h"

#include <string>

#include "common/try.h"
#include "winutil/final_path.h"
#include "winutil/stable_identity.h"
#include "winformat/text.h"

namespace telvo::winutil {

using namespace platform;

Result<UniqueHandle> OpenRegularFileForRead(Platform& platform, std::string_view path) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    auto opened = platform.files.CreateFileW(wide, file_access::kFileGenericRead, file_share::kRead,
                                             creation_disposition::kOpenExisting, file_flag::kOpenReparsePoint);
    if (!opened) return FailSys("CreateFileW(read " + std::string(path) + ")", opened.error());
    UniqueHandle handle(platform.kernel, *opened);
    TELVO_TRY(VerifyFinalPath(platform.files, handle.get(), path));
    TELVO_TRY_ASSIGN(FileInformation info, ReadFileInformation(platform.files, handle.get()));
    TELVO_TRY(CheckStableIdentity(info, path));
    if (info.file_attributes & file_attribute::kDirectory) return Fail("expected a regular file: " + std::string(path));
    return handle;
}

}  // namespace telvo::winutil
