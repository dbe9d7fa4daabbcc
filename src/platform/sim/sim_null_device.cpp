#include "platform/sim/sim_null_device.h"

#include "platform/file_constants.h"
#include "platform/types.h"
#include "winformat/ordinal_case.h"

namespace telvo::platform::sim {

SysResult<std::uint32_t> SimNullDevice::Read(std::size_t) {
    if ((access_ & file_access::kReadData) == 0) return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    return 0u;
}

SysResult<std::uint32_t> SimNullDevice::Write(std::size_t count) {
    if ((access_ & (file_access::kWriteData | file_access::kAppendData)) == 0) {
        return std::unexpected(SysError::Win32(win32_error::kAccessDenied));
    }
    return static_cast<std::uint32_t>(count);
}

bool SimNullDevice::Names(std::u16string_view path) {
    return winformat::EqualIgnoringCase(path, u"NUL") || winformat::EqualIgnoringCase(path, u"\\\\.\\NUL");
}

}  // namespace telvo::platform::sim
