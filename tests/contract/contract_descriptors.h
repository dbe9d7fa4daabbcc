#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {

// Opening files and reading their descriptors through the seam, for the
// contract tests of object security.

inline constexpr std::uint32_t kShareAllFiles = 0x7;

// The handle an open returned, owned; or its failure.
inline SysResult<platform::UniqueHandle> Owned(platform::Platform& platform, SysResult<platform::Handle> handle) {
    if (!handle) return std::unexpected(handle.error());
    return platform::UniqueHandle(platform.kernel, *handle);
}

inline SysResult<platform::UniqueHandle> OpenPath(platform::Platform& platform, const std::u16string& path,
                                                   std::uint32_t access, std::uint32_t flags = 0x02000000) {
    return Owned(platform, platform.files.CreateFileW(path, access, kShareAllFiles,
                                                      platform::creation_disposition::kOpenExisting, flags));
}

// The failure of a call, or a success code when it succeeded.
template <class T>
SysError ErrorOf(const SysResult<T>& result) {
    return result ? SysError{} : result.error();
}

// NtQuerySecurityObject after its size probe; nothing when either call fails.
inline std::optional<winformat::SecurityDescriptor> QueryDescriptor(platform::Platform& platform,
                                                                    platform::Handle handle, std::uint32_t parts) {
    std::uint32_t needed = 0;
    auto probe = platform.security.NtQuerySecurityObject(handle, parts, {}, needed);
    EXPECT_FALSE(probe);
    if (probe || needed == 0 || needed > 65536) return std::nullopt;
    std::vector<std::uint8_t> buffer(needed);
    auto read = platform.security.NtQuerySecurityObject(handle, parts, buffer, needed);
    EXPECT_TRUE(read) << std::hex << read.error().code;
    if (!read) return std::nullopt;
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(buffer);
    EXPECT_TRUE(parsed) << parsed.error().Display();
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
}

// The entries of a descriptor's DACL; nothing for a missing or null DACL.
inline std::vector<winformat::Ace> DaclEntries(const winformat::SecurityDescriptor& descriptor) {
    if (const winformat::Acl* acl = descriptor.dacl.acl()) return acl->aces();
    return {};
}

inline winformat::SecurityDescriptor DescriptorWith(const winformat::Sid& owner, std::vector<winformat::Ace> aces,
                                                    std::uint16_t control = 0) {
    winformat::SecurityDescriptor descriptor;
    descriptor.control = control;
    descriptor.owner = owner;
    descriptor.group = owner;
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(winformat::acl_revision::kRevision, std::move(aces)));
    return descriptor;
}

}  // namespace telvo::contract
