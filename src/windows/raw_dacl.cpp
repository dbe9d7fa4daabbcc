#include "windows/raw_dacl.h"

#include <string>

#include "common/try.h"
#include "platform/security.h"
#include "windows/descriptor_bytes.h"

namespace telvo::windows {

namespace {

constexpr int kSizedQueries = 3;

std::size_t RoundUpTo8(std::uint32_t size) { return (std::size_t{size} + 7) & ~std::size_t{7}; }

}  // namespace

Result<RawDacl> ReadRawDacl(platform::Platform& platform, platform::Handle handle) {
    using platform::ntstatus::kBufferTooSmall;
    const std::uint32_t parts = platform::security_information::kDacl;
    std::uint32_t needed = 0;
    auto probe = platform.security.NtQuerySecurityObject(handle, parts, {}, needed);
    std::uint32_t status = probe ? platform::ntstatus::kSuccess : probe.error().code;
    for (int query = 0; query < kSizedQueries; ++query) {
        if (needed == 0 || needed > kMaxRawDescriptorSize) {
            return Fail("NtQuerySecurityObject invalid size " + std::to_string(needed) + ", NTSTATUS " + Hex32(status));
        }
        std::vector<std::uint8_t> buffer(RoundUpTo8(needed), 0);
        auto read = platform.security.NtQuerySecurityObject(handle, parts, buffer, needed);
        if (read) {
            TELVO_TRY_ASSIGN(auto descriptor, ParseDescriptor(buffer, "GetSecurityDescriptorDacl(raw)"));
            if (descriptor.dacl.acl() == nullptr) return Fail("native sandbox refuses an absent/null DACL");
            return RawDacl{std::move(descriptor)};
        }
        if (read.error() != SysError::NtStatus(kBufferTooSmall)) return FailSys("NtQuerySecurityObject", read.error());
        status = kBufferTooSmall;  // the DACL grew: `needed` holds its new size
    }
    return Fail("raw DACL changed size repeatedly during probe");
}

}  // namespace telvo::windows
