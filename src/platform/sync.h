#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/security.h"
#include "platform/types.h"

namespace telvo::platform {

// A handle from a create call, and whether the named object existed already
// (GetLastError() == ERROR_ALREADY_EXISTS after success).
struct CreatedObject {
    Handle handle = kNullHandle;
    bool already_existed = false;
};

// Named kernel mutexes (kernel32). A security descriptor crosses the seam as
// self-relative bytes; empty means no security attributes.
class Sync {
public:
    virtual ~Sync() = default;

    // CreateMutexExW(SECURITY_ATTRIBUTES{descriptor, inherit}, name, flags, desired access).
    virtual SysResult<CreatedObject> CreateMutexExW(std::span<const std::uint8_t> security_descriptor,
                                                    bool inherit_handle, const std::u16string& name,
                                                    std::uint32_t flags, std::uint32_t desired_access) = 0;
    // CreateMutexW(SECURITY_ATTRIBUTES{descriptor, inherit}, initial owner, name).
    virtual SysResult<CreatedObject> CreateMutexW(std::span<const std::uint8_t> security_descriptor,
                                                  bool inherit_handle, bool initial_owner,
                                                  const std::u16string& name) = 0;
    // OpenMutexW(desired access, inherit, name).
    virtual SysResult<Handle> OpenMutexW(std::uint32_t desired_access, bool inherit_handle,
                                         const std::u16string& name) = 0;
    virtual SysResult<void> ReleaseMutex(Handle mutex) = 0;
};

// What CreateMutexW asks for, and how a mutex's generic rights map
// (MUTANT_QUERY_STATE 0x1 is its one specific right).
inline constexpr std::uint32_t kMutexAllAccess = 0x001F0001;
inline constexpr GenericMapping kMutexGenericMapping{0x00020001, 0x00020000, 0x00120000, kMutexAllAccess};

namespace mutex_flag {
inline constexpr std::uint32_t kInitialOwner = 0x00000001;  // CREATE_MUTEX_INITIAL_OWNER
}  // namespace mutex_flag

}  // namespace telvo::platform
