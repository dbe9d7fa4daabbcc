#include "platform/win32/win32_sync.h"

#include <vector>

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The descriptor is copied so that Windows gets a writable, aligned buffer.
struct Attributes {
    std::vector<std::uint8_t> descriptor;
    SECURITY_ATTRIBUTES attributes{};

    Attributes(std::span<const std::uint8_t> bytes, bool inherit) : descriptor(bytes.begin(), bytes.end()) {
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = descriptor.empty() ? nullptr : descriptor.data();
        attributes.bInheritHandle = inherit ? TRUE : FALSE;
    }
};

SysResult<CreatedObject> Created(HANDLE handle) {
    if (handle == nullptr) return LastError();
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
    return CreatedObject{FromNative(handle), existed};
}

}  // namespace

SysResult<CreatedObject> Win32Sync::CreateMutexExW(std::span<const std::uint8_t> security_descriptor,
                                                   bool inherit_handle, const std::u16string& name,
                                                   std::uint32_t flags, std::uint32_t desired_access) {
    Attributes attributes(security_descriptor, inherit_handle);
    return Created(::CreateMutexExW(&attributes.attributes, Wide(name), flags, desired_access));
}

SysResult<CreatedObject> Win32Sync::CreateMutexW(std::span<const std::uint8_t> security_descriptor,
                                                 bool inherit_handle, bool initial_owner,
                                                 const std::u16string& name) {
    Attributes attributes(security_descriptor, inherit_handle);
    return Created(::CreateMutexW(&attributes.attributes, initial_owner ? TRUE : FALSE, Wide(name)));
}

SysResult<Handle> Win32Sync::OpenMutexW(std::uint32_t desired_access, bool inherit_handle,
                                        const std::u16string& name) {
    HANDLE handle = ::OpenMutexW(desired_access, inherit_handle ? TRUE : FALSE, Wide(name));
    if (handle == nullptr) return LastError();
    return FromNative(handle);
}

SysResult<void> Win32Sync::ReleaseMutex(Handle mutex) {
    if (!::ReleaseMutex(ToNative(mutex))) return LastError();
    return {};
}

}  // namespace telvo::platform::win32
