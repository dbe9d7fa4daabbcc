#pragma once

#include "platform/sync.h"

namespace telvo::platform::win32 {

class Win32Sync final : public Sync {
public:
    SysResult<CreatedObject> CreateMutexExW(std::span<const std::uint8_t> security_descriptor, bool inherit_handle,
                                            const std::u16string& name, std::uint32_t flags,
                                            std::uint32_t desired_access) override;
    SysResult<CreatedObject> CreateMutexW(std::span<const std::uint8_t> security_descriptor, bool inherit_handle,
                                          bool initial_owner, const std::u16string& name) override;
    SysResult<Handle> OpenMutexW(std::uint32_t desired_access, bool inherit_handle,
                                 const std::u16string& name) override;
    SysResult<void> ReleaseMutex(Handle mutex) override;
};

}  // namespace telvo::platform::win32
