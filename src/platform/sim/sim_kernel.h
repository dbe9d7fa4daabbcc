#pragma once

#include "platform/kernel.h"

namespace telvo::platform::sim {

class SimHost;

class SimKernel final : public Kernel {
public:
    explicit SimKernel(SimHost& host) : host_(host) {}

    SysResult<void> CloseHandle(Handle handle) override;
    SysResult<std::uint32_t> ReadFile(Handle handle, std::span<std::byte> buffer) override;
    SysResult<std::uint32_t> WriteFile(Handle handle, std::span<const std::byte> bytes) override;
    SysResult<std::uint32_t> WaitForSingleObject(Handle handle, std::uint32_t milliseconds) override;
    void Sleep(std::uint32_t milliseconds) override;
    std::uint64_t GetTickCount64() override;

private:
    SimHost& host_;
};

}  // namespace telvo::platform::sim
