#pragma once

#include "platform/pipes.h"

namespace telvo::platform::win32 {

class Win32Pipes final : public Pipes {
public:
    SysResult<Handle> CreateEventW(bool manual_reset, bool initial_state) override;
    SysResult<void> ReadFile(Handle file, std::span<std::byte> buffer, Overlapped& overlapped) override;
    SysResult<void> WriteFile(Handle file, std::span<const std::byte> bytes, Overlapped& overlapped) override;
    SysResult<std::uint32_t> GetOverlappedResultEx(Handle file, Overlapped& overlapped, std::uint32_t milliseconds,
                                                   bool alertable) override;
    SysResult<void> CancelIoEx(Handle file, Overlapped& overlapped) override;
    SysResult<void> WaitNamedPipeW(const std::u16string& name, std::uint32_t milliseconds) override;
    SysResult<std::uint32_t> GetNamedPipeServerProcessId(Handle pipe) override;
    SysResult<Handle> CreateNamedPipeW(const std::u16string& name, std::uint32_t open_mode, std::uint32_t pipe_mode,
                                       std::uint32_t max_instances, std::uint32_t out_buffer_size,
                                       std::uint32_t in_buffer_size, std::uint32_t default_timeout_ms,
                                       std::span<const std::uint8_t> security_descriptor) override;
    SysResult<void> ConnectNamedPipe(Handle pipe, Overlapped& overlapped) override;
    SysResult<void> DisconnectNamedPipe(Handle pipe) override;
    SysResult<std::uint32_t> GetNamedPipeClientProcessId(Handle pipe) override;
    SysResult<void> ImpersonateNamedPipeClient(Handle pipe) override;
    [[noreturn]] void RaiseFailFastException() override;
};

}  // namespace telvo::platform::win32
