#include "platform/win32/win32_security.h"

#include <cstddef>
#include <cstring>

#include <aclapi.h>

#include <algorithm>
#include <memory>

#include "platform/win32/win32_common.h"

// Exported by ntdll; the SDK declares them only in the driver kit headers.
// They return an NTSTATUS (a LONG).
extern "C" {
LONG NTAPI NtQuerySecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                 PSECURITY_DESCRIPTOR descriptor, ULONG length, PULONG length_needed);
LONG NTAPI NtSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
}

namespace telvo::platform::win32 {

namespace {

// Owns a buffer that an advapi32 call allocated with LocalAlloc.
struct LocalFreeDeleter {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalBuffer = std::unique_ptr<void, LocalFreeDeleter>;

std::vector<std::uint8_t> CopyBytes(const void* memory, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(memory);
    return std::vector<std::uint8_t>(bytes, bytes + length);
}

// A writable copy of read-only bytes for the calls whose parameters are not const.
std::vector<std::uint8_t> Writable(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace

SysResult<void> Win32Security::GetKernelObjectSecurity(Handle handle, std::uint32_t requested_information,
                                                       std::span<std::uint8_t> buffer,
                                                       std::uint32_t& length_needed) {
    DWORD needed = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    const BOOL ok = ::GetKernelObjectSecurity(ToNative(handle), requested_information,
                                              size == 0 ? nullptr : buffer.data(), size, &needed);
    const DWORD error = ::GetLastError();
    length_needed = needed;
    if (!ok) return std::unexpected(SysError::Win32(error));
    return {};
}

SysResult<Handle> Win32Security::OpenProcessToken(Handle process, std::uint32_t desired_access) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(ToNative(process), desired_access, &token)) return LastError();
    return FromNative(token);
}

SysResult<Handle> Win32Security::OpenThreadToken(std::uint32_t desired_access, bool open_as_self) {
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), desired_access, open_as_self ? TRUE : FALSE, &token)) {
        return LastError();
    }
    return FromNative(token);
}

SysResult<void> Win32Security::RevertToSelf() {
    if (!::RevertToSelf()) return LastError();
    return {};
}

SysResult<Handle> Win32Security::DuplicateTokenEx(Handle token, std::uint32_t desired_access,
                                                  std::uint32_t impersonation_level, std::uint32_t token_type) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateTokenEx(ToNative(token), desired_access, nullptr,
                            static_cast<SECURITY_IMPERSONATION_LEVEL>(impersonation_level),
                            static_cast<TOKEN_TYPE>(token_type), &duplicate)) {
        return LastError();
    }
    return FromNative(duplicate);
}

SysResult<AccessCheckOutcome> Win32Security::AccessCheck(std::span<const std::uint8_t> security_descriptor,
                                                         Handle client_token, std::uint32_t desired_access,
                                                         const GenericMapping& mapping,
                                                         std::uint32_t privilege_set_length,
                                                         std::uint32_t& privilege_set_needed) {
    // The descriptor is read, never written; AccessCheck wants it aligned.
    std::vector<std::uint64_t> descriptor((security_descriptor.size() + 7) / 8);
    std::memcpy(descriptor.data(), security_descriptor.data(), security_descriptor.size());
    std::vector<std::uint64_t> privileges((std::size_t{privilege_set_length} + 7) / 8);
    GENERIC_MAPPING generic{mapping.read, mapping.write, mapping.execute, mapping.all};
    DWORD length = privilege_set_length;
    DWORD granted = 0;
    BOOL status = FALSE;
    const BOOL ok = ::AccessCheck(descriptor.data(), ToNative(client_token), desired_access, &generic,
                                  reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &length, &granted, &status);
    const DWORD error = ::GetLastError();
    privilege_set_needed = length;
    if (!ok) return std::unexpected(SysError::Win32(error));
    return AccessCheckOutcome{status != FALSE, status != FALSE ? granted : 0, status != FALSE ? 0 : error};
}

SysResult<TokenInformation> Win32Security::GetTokenInformation(Handle token, std::uint32_t information_class,
                                                               std::uint32_t buffer_length,
                                                               std::uint32_t& return_length) {
    // Pointer-aligned storage: TOKEN_USER begins with a pointer.
    std::vector<std::uint64_t> storage((std::size_t{buffer_length} + 7) / 8);
    DWORD length = 0;
    const BOOL ok = ::GetTokenInformation(ToNative(token), static_cast<TOKEN_INFORMATION_CLASS>(information_class),
                                          buffer_length == 0 ? nullptr : storage.data(), buffer_length, &length);
    const DWORD error = ::GetLastError();
    return_length = length;
    if (!ok) return std::unexpected(SysError::Win32(error));
    const std::size_t filled = std::min<std::size_t>(length, buffer_length);
    switch (information_class) {
        case token_information::kUser: {
            if (filled < sizeof(TOKEN_USER)) return TokenInformation{};
            const auto* user = reinterpret_cast<const TOKEN_USER*>(storage.data());
            return TokenInformation{ReturnedSidBytes(user->User.Sid), user->User.Attributes};
        }
        case token_information::kGroups: {
            if (filled < sizeof(DWORD)) return TokenInformation{};
            const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(storage.data());
            const std::size_t entries_offset = offsetof(TOKEN_GROUPS, Groups);
            const std::size_t fitting = (filled - std::min(filled, entries_offset)) / sizeof(SID_AND_ATTRIBUTES);
            TokenInformation answer;
            answer.bytes = CopyBytes(storage.data(), sizeof(DWORD));
            const std::size_t count = std::min<std::size_t>(groups->GroupCount, fitting);
            for (std::size_t index = 0; index < count; ++index) {
                answer.groups.push_back(
                    TokenGroupEntry{ReturnedSidBytes(groups->Groups[index].Sid), groups->Groups[index].Attributes});
            }
            return answer;
        }
        case token_information::kOwner: {
            if (filled < sizeof(TOKEN_OWNER)) return TokenInformation{};
            const auto* owner = reinterpret_cast<const TOKEN_OWNER*>(storage.data());
            return TokenInformation{ReturnedSidBytes(owner->Owner), 0};
        }
        case token_information::kIntegrityLevel: {
            if (filled < sizeof(TOKEN_MANDATORY_LABEL)) return TokenInformation{};
            const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(storage.data());
            return TokenInformation{ReturnedSidBytes(label->Label.Sid), label->Label.Attributes};
        }
        case token_information::kAppContainerSid: {
            if (filled < sizeof(TOKEN_APPCONTAINER_INFORMATION)) return TokenInformation{};
            const auto* container = reinterpret_cast<const TOKEN_APPCONTAINER_INFORMATION*>(storage.data());
            return TokenInformation{ReturnedSidBytes(container->TokenAppContainer), 0};
        }
        case token_information::kElevation:
        case token_information::kIsAppContainer:
        case token_information::kIsLessPrivilegedAppContainer:
            return TokenInformation{CopyBytes(storage.data(), filled), 0};
        default:
            throw InternalFault("GetTokenInformation asked for a class the backend does not copy");
    }
}

SysResult<void> Win32Security::NtQuerySecurityObject(Handle handle, std::uint32_t security_information,
                                                     std::span<std::uint8_t> buffer, std::uint32_t& length_needed) {
    ULONG needed = 0;
    const ULONG size = static_cast<ULONG>(std::min<std::size_t>(buffer.size(), MAXDWORD));
    const LONG status = ::NtQuerySecurityObject(ToNative(handle), security_information,
                                                    size == 0 ? nullptr : buffer.data(), size, &needed);
    length_needed = needed;
    if (status != 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return {};
}

SysResult<void> Win32Security::NtSetSecurityObject(Handle handle, std::uint32_t security_information,
                                                   std::span<const std::uint8_t> security_descriptor) {
    auto descriptor = Writable(security_descriptor);
    const LONG status = ::NtSetSecurityObject(ToNative(handle), security_information, descriptor.data());
    if (status != 0) return std::unexpected(SysError::NtStatus(static_cast<std::uint32_t>(status)));
    return {};
}

SysResult<std::vector<std::uint8_t>> Win32Security::GetSecurityInfo(Handle handle, std::uint32_t object_type,
                                                                    std::uint32_t security_information) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = ::GetSecurityInfo(ToNative(handle), static_cast<SE_OBJECT_TYPE>(object_type),
                                          security_information, nullptr, nullptr, nullptr, nullptr, &descriptor);
    const LocalBuffer owned(descriptor);
    if (error != ERROR_SUCCESS) return std::unexpected(SysError::Win32(error));
    if (descriptor == nullptr) return std::vector<std::uint8_t>{};
    return CopyBytes(descriptor, ::GetSecurityDescriptorLength(descriptor));
}

SysResult<void> Win32Security::SetSecurityInfo(Handle handle, std::uint32_t object_type,
                                               std::uint32_t security_information,
                                               std::span<const std::uint8_t> dacl) {
    std::vector<std::uint8_t> dacl_bytes = Writable(dacl);
    const DWORD error = ::SetSecurityInfo(ToNative(handle), static_cast<SE_OBJECT_TYPE>(object_type),
                                          security_information, nullptr, nullptr,
                                          dacl_bytes.empty() ? nullptr : reinterpret_cast<PACL>(dacl_bytes.data()),
                                          nullptr);
    if (error != ERROR_SUCCESS) return std::unexpected(SysError::Win32(error));
    return {};
}

SysResult<std::vector<std::uint8_t>> Win32Security::SetEntriesInAclW(std::span<const ExplicitAccess> entries,
                                                                     std::span<const std::uint8_t> old_acl) {
    std::vector<std::vector<std::uint8_t>> sids;
    sids.reserve(entries.size());
    std::vector<EXPLICIT_ACCESS_W> native(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const ExplicitAccess& entry = entries[i];
        sids.push_back(Writable(entry.trustee.sid.bytes()));
        native[i].grfAccessPermissions = entry.access_permissions;
        native[i].grfAccessMode = static_cast<ACCESS_MODE>(entry.access_mode);
        native[i].grfInheritance = entry.inheritance;
        native[i].Trustee.pMultipleTrustee = nullptr;
        native[i].Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
        native[i].Trustee.TrusteeForm = static_cast<TRUSTEE_FORM>(entry.trustee.form);
        native[i].Trustee.TrusteeType = static_cast<TRUSTEE_TYPE>(entry.trustee.type);
        native[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids.back().data());
    }
    std::vector<std::uint8_t> old_bytes = Writable(old_acl);
    PACL result = nullptr;
    const DWORD error = ::SetEntriesInAclW(static_cast<ULONG>(native.size()), native.data(),
                                           old_bytes.empty() ? nullptr : reinterpret_cast<PACL>(old_bytes.data()),
                                           &result);
    const LocalBuffer owned(result);
    if (error != ERROR_SUCCESS) return std::unexpected(SysError::Win32(error));
    if (result == nullptr) return std::unexpected(SysError::Win32(ERROR_INVALID_ACL));
    return CopyBytes(result, result->AclSize);
}

}  // namespace telvo::platform::win32
