#pragma once

#include <cstdint>
#include <string>

#include "common/error.h"
#include "host_prepare/host_command.h"
#include "platform/platform.h"
#include "winformat/acl.h"
#include "winformat/sid.h"

namespace telvo::host_prepare {

inline constexpr char kNullDeviceCapability[] = "Telvo.Sandbox.NullDevice.v1";
inline constexpr char kNullDevicePath[] = "\\Device\\Null";
// FILE_GENERIC_READ | FILE_GENERIC_WRITE.
inline constexpr std::uint32_t kNullDeviceEntryMask = 0x0012019F;

// What the null-device operation found and did: the fields of its report.
struct NullDeviceReport {
    std::string capability_sid;  // S-1-15-3-...
    bool prepared = false;       // the exact entry is present now
    bool changed = false;        // this invocation wrote the DACL
};

// Reports, adds or removes the one exact access-allowed entry of the null
// device capability on the kernel object \Device\Null. Prepare and remove
// hold the global metadata lock for the whole read-modify-write, write the
// DACL only, and read the descriptor back to prove that nothing but that
// entry changed (owner, group, control word, mandatory label and every
// other entry byte for byte); when the proof or the write fails, only this
// entry is put back as it was. An entry for the capability that is not the
// exact one, or a second copy, is never repaired. The caller has proved an
// elevated Administrator for prepare and remove.
Result<NullDeviceReport> RunNullDeviceOperation(platform::Platform& platform, HostOperation operation);

// The DACL `current` with every entry naming `sid` dropped and, when
// `wanted`, the exact entry placed after the explicit and before the
// inherited entries. Sized as the entries need, rounded up to 8 bytes, which
// must stay within an ACL's 16-bit size ("null-device DACL is too large").
Result<winformat::Acl> RebuildNullDeviceDacl(const winformat::Acl& current, const winformat::Sid& sid, bool wanted);

}  // namespace telvo::host_prepare
