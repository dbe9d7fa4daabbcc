#pragma once

#include <cstdint>
#include <vector>

#include "common/error.h"
#include "platform/platform.h"
#include "winformat/security_descriptor.h"

namespace telvo::windows {

// An object's DACL as NtQuerySecurityObject reported it: the descriptor read
// (self-relative, DACL part only) and its parsed form, whose DACL is present
// and not null.
struct RawDacl {
    winformat::SecurityDescriptor descriptor;

    const winformat::Acl& dacl() const { return *descriptor.dacl.acl(); }
};

inline constexpr std::uint32_t kMaxRawDescriptorSize = 0x20000;

// Reads the DACL through NtQuerySecurityObject with a bounded size probe: at
// most three sized queries when the descriptor grows between them. An absent
// or null DACL is refused.
Result<RawDacl> ReadRawDacl(platform::Platform& platform, platform::Handle handle);

}  // namespace telvo::windows
