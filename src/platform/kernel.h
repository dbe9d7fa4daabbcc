#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// PUBLIC_OBJECT_BASIC_INFORMATION, as far as the system reads it.
struct ObjectBasicInformation {
    std::uint32_t attributes = 0;
    std::uint32_t granted_access = 0;
    std::uint32_t handle_count = 0;
};

// Handles, byte I/O on handles, waits and time (kernel32).
class Kernel {
public:
    virtual ~Kernel() = default;

    virtual SysResult<void> CloseHandle(Handle handle) = 0;

    // ReadFile on a synchronous handle: the number of bytes read; 0 at end of input.
    virtual SysResult<std::uint32_t> ReadFile(Handle handle, std::span<std::byte> buffer) = 0;
    // WriteFile on a synchronous handle: the number of bytes written.
    virtual SysResult<std::uint32_t> WriteFile(Handle handle, std::span<const std::byte> bytes) = 0;

    // WaitForSingleObject: WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT.
    virtual SysResult<std::uint32_t> WaitForSingleObject(Handle handle, std::uint32_t milliseconds) = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    virtual std::uint64_t GetTickCount64() = 0;

    // NtQueryObject(ObjectBasicInformation) (ntdll), NTSTATUS kind: what the
    // handle was granted, with the object's handle count.
    virtual SysResult<ObjectBasicInformation> NtQueryObject(Handle handle) = 0;
    // CompareObjectHandles: whether both handles refer to the same kernel object.
    virtual bool CompareObjectHandles(Handle first, Handle second) = 0;
};

// INFINITE: a wait without a time limit.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

namespace wait_result {
inline constexpr std::uint32_t kObject0 = 0x00000000;
inline constexpr std::uint32_t kAbandoned = 0x00000080;
inline constexpr std::uint32_t kTimeout = 0x00000102;
inline constexpr std::uint32_t kFailed = 0xFFFFFFFF;
}  // namespace wait_result

}  // namespace telvo::platform
