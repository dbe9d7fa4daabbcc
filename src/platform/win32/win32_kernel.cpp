#include "platform/win32/win32_kernel.h"

#include <algorithm>

#include "platform/win32/win32_common.h"

#include <winternl.h>

namespace telvo::platform::win32 {

SysResult<void> Win32Kernel::CloseHandle(Handle handle) {
    if (!::CloseHandle(ToNative(handle))) return LastError();
    return {};
}

SysResult<std::uint32_t> Win32Kernel::ReadFile(Handle handle, std::span<std::byte> buffer) {
    DWORD read = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    if (!::ReadFile(ToNative(handle), buffer.data(), size, &read, nullptr)) return LastError();
    return read;
}

SysResult<std::uint32_t> Win32Kernel::WriteFile(Handle handle, std::span<const std::byte> bytes) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MAXDWORD));
    if (!::WriteFile(ToNative(handle), bytes.data(), size, &written, nullptr)) return LastError();
    return written;
}

SysResult<std::uint32_t> Win32Kernel::WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
    const DWORD result = ::WaitForSingleObject(ToNative(handle), milliseconds);
    if (result == WAIT_FAILED) return LastError();
    return result;
}

void Win32Kernel::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint64_t Win32Kernel::GetTickCount64() { return ::GetTickCount64(); }

SysResult<ObjectBasicInformation> Win32Kernel::NtQueryObject(Handle handle) {
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    ULONG length = 0;
    const NTSTATUS status =
        ::NtQueryObject(ToNative(handle), ::ObjectBasicInformation, &information, sizeof(information), &length);
    if (status != 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return ObjectBasicInformation{information.Attributes, information.GrantedAccess, information.HandleCount};
}

// CompareObjectHandles lives in kernelbase.dll (Windows 10 and later) and
// in no import library of the cross toolchain: it is looked up once. Where
// it is missing, no two handles are proved to name one object.
bool Win32Kernel::CompareObjectHandles(Handle first, Handle second) {
    using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
    static const Compare compare = [] {
        HMODULE module = ::GetModuleHandleW(L"kernelbase.dll");
        FARPROC found = module == nullptr ? nullptr : ::GetProcAddress(module, "CompareObjectHandles");
        return reinterpret_cast<Compare>(reinterpret_cast<void (*)()>(found));
    }();
    return compare != nullptr && compare(ToNative(first), ToNative(second)) != FALSE;
}

}  // namespace telvo::platform::win32
