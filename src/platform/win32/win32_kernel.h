#pragma once

#include "platform/kernel.h"

namespace telvo::platform::win32 {

class Win32Kernel final : public Kernel {
public:
    SysResult<void> CloseHandle(Handle handle) override;
    SysResult<std::uint32_t> ReadFile(Handle handle, std::span<std::byte> buffer) override;
    SysResult<std::uint32_t> WriteFile(Handle handle, std::span<const std::byte> bytes) override;
    SysResult<std::uint32_t> WaitForSingleObject(Handle handle, std::uint32_t milliseconds) override;
    void Sleep(std::uint32_t milliseconds) override;
    std::uint64_t GetTickCount64() override;
    SysResult<ObjectBasicInformation> NtQueryObject(Handle handle) override;
    bool CompareObjectHandles(Handle first, Handle second) override;
};

}  // namespace telvo::platform::win32
