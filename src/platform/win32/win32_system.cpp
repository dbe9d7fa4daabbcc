#include "platform/win32/win32_system.h"

#include <algorithm>
#include <limits>

#include "platform/win32/win32_common.h"

#include <bcrypt.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstring>

namespace telvo::platform::win32 {

SysResult<void> Win32System::BCryptGenRandom(std::span<std::uint8_t> buffer, std::uint32_t flags) {
    if (buffer.size() > std::numeric_limits<ULONG>::max()) return std::unexpected(SysError::NtStatus(ntstatus::kInvalidParameter));
    const NTSTATUS status = ::BCryptGenRandom(nullptr, buffer.data(), static_cast<ULONG>(buffer.size()),
                                              static_cast<ULONG>(flags));
    if (status < 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return {};
}

SysResult<std::uint32_t> Win32System::GetSystemWindowsDirectoryW(std::span<char16_t> buffer) {
    const UINT size = static_cast<UINT>(std::min<std::size_t>(buffer.size(), std::numeric_limits<UINT>::max()));
    const UINT result =
        ::GetSystemWindowsDirectoryW(size == 0 ? nullptr : reinterpret_cast<wchar_t*>(buffer.data()), size);
    if (result == 0) return LastError();
    return result;
}

SysResult<std::uint32_t> Win32System::GetSystemDirectoryW(std::span<char16_t> buffer) {
    const UINT size = static_cast<UINT>(std::min<std::size_t>(buffer.size(), std::numeric_limits<UINT>::max()));
    const UINT result = ::GetSystemDirectoryW(size == 0 ? nullptr : reinterpret_cast<wchar_t*>(buffer.data()), size);
    if (result == 0) return LastError();
    return result;
}

SysResult<void> Win32System::RegGetValueW(std::uint32_t predefined_key, const std::u16string& sub_key,
                                          const std::u16string& value_name, std::uint32_t flags,
                                          std::uint32_t& type, std::span<std::uint8_t> data,
                                          std::uint32_t& data_size) {
    // The predefined HKEY values are sign-extended 32-bit constants.
    const HKEY key = reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(predefined_key)));
    DWORD native_type = 0;
    DWORD size = static_cast<DWORD>(std::min<std::size_t>(data.size(), MAXDWORD));
    const LSTATUS status =
        ::RegGetValueW(key, Wide(sub_key), Wide(value_name), flags, &native_type, data.data(), &size);
    type = native_type;
    data_size = size;
    if (status != ERROR_SUCCESS) return std::unexpected(SysError::Win32(static_cast<std::uint32_t>(status)));
    return {};
}

SysResult<std::u16string> Win32System::SHGetKnownFolderPath(const KnownFolderId& folder, std::uint32_t flags) {
    GUID id;
    std::memcpy(&id, folder.data(), sizeof id);
    PWSTR path = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(id, flags, nullptr, &path);
    // The buffer is freed on failure too, as the documentation asks.
    struct Freed {
        PWSTR path;
        ~Freed() { ::CoTaskMemFree(path); }
    } freed{path};
    if (FAILED(result)) return std::unexpected(SysError::HResult(static_cast<std::uint32_t>(result)));
    return FromWide(path);
}

}  // namespace telvo::platform::win32
