#pragma once

#include "platform/processes.h"

namespace telvo::platform::win32 {

class Win32Processes final : public Processes {
public:
    SysResult<Handle> CreateJobObjectW() override;
    SysResult<void> SetInformationJobObject(Handle job, std::uint32_t information_class,
                                            std::span<const std::uint8_t> information) override;
    SysResult<std::uint32_t> QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                       std::span<std::uint8_t> buffer) override;
    SysResult<void> TerminateJobObject(Handle job, std::uint32_t exit_code) override;
    SysResult<Handle> CreateThread(std::function<void()> start) override;
    SysResult<void> SetThreadDescription(Handle thread, const std::u16string& description) override;
};

}  // namespace telvo::platform::win32
