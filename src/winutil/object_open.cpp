#include "winutil/object_open.h"

#include "common/try.h"
#include "winformat/text.h"

namespace telvo::winutil {

using namespace platform;

Result<UniqueHandle> OpenObjectNoFollow(Platform& platform, std::string_view path, bool with_write_dac) {
    TELVO_TRY_ASSIGN(std::u16string wide, winformat::Utf8ToUtf16(path));
    const std::uint32_t access = file_access::kReadControl | (with_write_dac ? file_access::kWriteDac : 0);
    auto handle = platform.files.CreateFileW(wide, access, file_share::kRead | file_share::kWrite,
                                             creation_disposition::kOpenExisting,
                                             file_flag::kBackupSemantics | file_flag::kOpenReparsePoint);
    if (!handle) return FailSys("CreateFileW(" + std::string(path) + ")", handle.error());
    return UniqueHandle(platform.kernel, *handle);
}

}  // namespace telvo::winutil
