#include "protocol/std_streams.h"

#include "platform/types.h"

namespace telvo::protocol {

using platform::win32_error::kBrokenPipe;
using platform::win32_error::kInvalidHandle;

std::mutex& StandardInputLock() {
    static std::mutex lock;
    return lock;
}

std::mutex& StandardOutputLock() {
    static std::mutex lock;
    return lock;
}

Result<void> StandardInput::ReadExact(std::span<std::byte> buffer) {
    auto handle = platform_.console.GetStdHandle(platform::StdStream::input);
    if (!handle) return FailSys("GetStdHandle(standard input)", handle.error());
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        std::uint32_t read = 0;
        if (platform::IsUsable(*handle)) {
            auto result = platform_.kernel.ReadFile(*handle, buffer.subspan(filled));
            if (result) {
                read = *result;
            } else if (!(result.error() == SysError::Win32(kBrokenPipe) ||
                         result.error() == SysError::Win32(kInvalidHandle))) {
                return FailSys("ReadFile(standard input)", result.error());
            }
        }
        if (read == 0) return Fail("failed to fill whole buffer");
        filled += read;
    }
    return {};
}

Result<void> WriteAllToStandardOutput(platform::Platform& platform, std::string_view bytes) {
    auto handle = platform.console.GetStdHandle(platform::StdStream::output);
    if (!handle) return FailSys("GetStdHandle(standard output)", handle.error());
    if (!platform::IsUsable(*handle)) return {};
    auto remaining = std::as_bytes(std::span(bytes.data(), bytes.size()));
    while (!remaining.empty()) {
        auto written = platform.kernel.WriteFile(*handle, remaining);
        if (!written) {
            if (written.error() == SysError::Win32(kInvalidHandle)) return {};
            return FailSys("WriteFile(standard output)", written.error());
        }
        if (*written == 0) return Fail("failed to write whole buffer");
        remaining = remaining.subspan(*written);
    }
    return {};
}

}  // namespace telvo::protocol
