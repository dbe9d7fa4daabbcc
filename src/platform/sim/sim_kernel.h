#pragma once

#include <functional>

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
    // The access the handle's open was granted, as the handle table keeps it.
    SysResult<ObjectBasicInformation> NtQueryObject(Handle handle) override;
    bool CompareObjectHandles(Handle first, Handle second) override;

    // Test side: called on every Sleep, after the clock has advanced; what
    // another thread or process would do meanwhile happens here, in order.
    void OnSleep(std::function<void(std::uint32_t milliseconds)> hook) { sleep_hook_ = std::move(hook); }

private:
    SimHost& host_;
    std::function<void(std::uint32_t)> sleep_hook_;
};

}  // namespace telvo::platform::sim
