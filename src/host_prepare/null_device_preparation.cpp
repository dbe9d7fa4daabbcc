#include "host_prepare/null_device_preparation.h"

#include <optional>
#include <vector>

#include "common/try.h"
#include "host_prepare/capability_sid.h"
#include "identity/identifier_text.h"
#include "platform/file_constants.h"
#include "platform/unique_handle.h"
#include "windows/global_locks.h"
#include "windows/object_dacl.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"

namespace telvo::host_prepare {

namespace {

using namespace platform;
using winformat::Ace;
using winformat::Acl;
using winformat::SecurityDescriptor;
using winformat::Sid;

constexpr std::uint32_t kStatusAccess = 0x00020000;          // READ_CONTROL
constexpr std::uint32_t kChangeAccess = 0x00060000;          // READ_CONTROL | WRITE_DAC
constexpr std::uint32_t kObjectAttributes = object_attribute::kCaseInsensitive | object_attribute::kDontReparse;
constexpr std::uint32_t kShareReadWrite = 3;                 // FILE_SHARE_READ | FILE_SHARE_WRITE
constexpr std::uint32_t kDescriptorParts = 0x17;             // OWNER | GROUP | DACL | LABEL
constexpr std::size_t kMaxAclSize = 0xFFFF;

constexpr char kConflict[] = "conflicting null-device capability ACE; no automatic repair";
constexpr char kReadbackChanged[] =
    "null-device readback changed more than the exact capability ACE; mandatory label is never adjusted automatically";

std::vector<std::uint8_t> Bytes(const Ace& ace) { return ace.Serialize(); }

// "0x" and the mask in lower-case hexadecimal, without leading zeros.
std::string HexMask(std::uint32_t mask) {
    std::string text = Hex32(mask);
    const std::size_t first = text.find_first_not_of('0', 2);
    return "0x" + (first == std::string::npos ? std::string("0") : text.substr(first));
}

// The device object itself, as a character device.
Result<UniqueHandle> OpenDevice(Platform& platform, std::uint32_t access) {
    auto opened = platform.files.NtOpenDevice(winformat::AsciiToUtf16(kNullDevicePath), kObjectAttributes, access,
                                              kShareReadWrite, 0);
    if (!opened) {
        const std::string operation = std::string("NtOpenFile(") + kNullDevicePath + ", access=" + HexMask(access) + ")";
        return Fail(Error::FromSys(operation, opened.error()));
    }
    if (!IsUsable(*opened)) return Fail(Error::Win32("NtOpenFile(null device)", win32_error::kInvalidHandle));
    UniqueHandle device(platform.kernel, *opened);
    TELVO_TRY_ASSIGN(const std::uint32_t type, Lift("GetFileType(null device)", platform.files.GetFileType(device.get())));
    if (type != file_type::kChar) return Fail(std::string(kNullDevicePath) + " is not the expected character device");
    return device;
}

Result<SecurityDescriptor> ReadDescriptor(Platform& platform, Handle device) {
    TELVO_TRY_ASSIGN(auto bytes, Lift("GetSecurityInfo(null device)",
                                      platform.security.GetSecurityInfo(device, se_object_type::kKernelObject,
                                                                        kDescriptorParts)));
    auto descriptor = SecurityDescriptor::ParseSelfRelative(bytes);
    if (!descriptor || !descriptor->dacl.present() || descriptor->dacl.is_null()) {
        return Fail("null-device preparation refuses an absent/null/invalid DACL");
    }
    return std::move(*descriptor);
}

bool IsExactEntry(const Ace& ace, const Sid& sid) {
    return ace.type() == winformat::ace_type::kAccessAllowed && ace.flags() == 0 && ace.size() == 8 + sid.size() &&
           ace.mask() == kNullDeviceEntryMask && ace.sid() != nullptr && *ace.sid() == sid;
}

// Whether the DACL holds the exact entry: every entry naming the SID must be
// it, and there is one at most.
Result<bool> EntryPresent(const Acl& dacl, const Sid& sid) {
    bool found = false;
    for (const Ace& ace : dacl.aces()) {
        TELVO_TRY_ASSIGN(const bool names, windows::FindSidInAce(ace, sid));
        if (!names) continue;
        if (found || !IsExactEntry(ace, sid)) return Fail(kConflict);
        found = true;
    }
    return found;
}

// What the read-back compares: everything of the descriptor but the DACL's
// entries is to stay as it was.
struct Snapshot {
    std::uint16_t control = 0;
    bool sacl_present = false;
    std::uint8_t dacl_revision = 0;
    std::string owner;
    std::string group;
    std::optional<std::vector<std::vector<std::uint8_t>>> labels;  // none: no SACL
    std::vector<std::vector<std::uint8_t>> dacl_entries;
    bool operator==(const Snapshot&) const = default;
};

std::vector<std::vector<std::uint8_t>> EntryBytes(const Acl& acl) {
    std::vector<std::vector<std::uint8_t>> entries;
    for (const Ace& ace : acl.aces()) entries.push_back(Bytes(ace));
    return entries;
}

Snapshot Take(const SecurityDescriptor& descriptor) {
    Snapshot snapshot;
    snapshot.control = descriptor.Control();
    snapshot.sacl_present = descriptor.sacl.present();
    snapshot.dacl_revision = descriptor.dacl.acl()->revision();
    snapshot.owner = descriptor.owner ? descriptor.owner->ToString() : std::string();
    snapshot.group = descriptor.group ? descriptor.group->ToString() : std::string();
    if (const Acl* sacl = descriptor.sacl.acl()) {
        snapshot.labels.emplace();
        for (const Ace& ace : sacl->aces()) {
            if (ace.type() == winformat::ace_type::kSystemMandatoryLabel) snapshot.labels->push_back(Bytes(ace));
        }
    }
    snapshot.dacl_entries = EntryBytes(*descriptor.dacl.acl());
    return snapshot;
}

Result<void> WriteDacl(Platform& platform, Handle device, const Acl& dacl) {
    return Lift("SetSecurityInfo(null device DACL)",
                platform.security.SetSecurityInfo(device, se_object_type::kKernelObject, security_information::kDacl,
                                                  dacl.Serialize()));
}

// Writes the new DACL and proves by read-back that only our entry changed.
// `wrote` is set once the write went through.
Result<void> ChangeAndProve(Platform& platform, Handle device, const Sid& sid, const SecurityDescriptor& before,
                            bool wanted, bool& wrote) {
    TELVO_TRY_ASSIGN(const Acl dacl, RebuildNullDeviceDacl(*before.dacl.acl(), sid, wanted));
    Snapshot expected = Take(before);
    expected.dacl_entries = EntryBytes(dacl);
    TELVO_TRY(WriteDacl(platform, device, dacl));
    wrote = true;
    TELVO_TRY_ASSIGN(const SecurityDescriptor after, ReadDescriptor(platform, device));
    TELVO_TRY_ASSIGN(const bool present, EntryPresent(*after.dacl.acl(), sid));
    if (present != wanted || Take(after) != expected) return Fail(kReadbackChanged);
    return {};
}

// Puts back only our entry, as it was found, whatever else the DACL holds now.
Result<void> RollBack(Platform& platform, Handle device, const Sid& sid, bool present_before) {
    TELVO_TRY_ASSIGN(const SecurityDescriptor current, ReadDescriptor(platform, device));
    TELVO_TRY_ASSIGN(const Acl dacl, RebuildNullDeviceDacl(*current.dacl.acl(), sid, present_before));
    TELVO_TRY(WriteDacl(platform, device, dacl));
    TELVO_TRY_ASSIGN(const SecurityDescriptor after, ReadDescriptor(platform, device));
    TELVO_TRY_ASSIGN(const bool present, EntryPresent(*after.dacl.acl(), sid));
    if (present != present_before) return Fail("capability rollback readback failed");
    return {};
}

Result<bool> CurrentPresence(Platform& platform, Handle device, const Sid& sid) {
    TELVO_TRY_ASSIGN(const SecurityDescriptor descriptor, ReadDescriptor(platform, device));
    return EntryPresent(*descriptor.dacl.acl(), sid);
}

// The state after the change and whether this command wrote the DACL.
struct Outcome {
    bool prepared = false;
    bool changed = false;
};

// Prepare (wanted) or remove, under the metadata lock, ending with a fresh
// read of what the device holds.
Result<Outcome> Change(Platform& platform, const Sid& sid, bool wanted) {
    TELVO_TRY_ASSIGN(const auto lock, windows::AcquireMetadataLock(platform));
    TELVO_TRY_ASSIGN(const UniqueHandle device, OpenDevice(platform, kChangeAccess));
    TELVO_TRY_ASSIGN(const SecurityDescriptor before, ReadDescriptor(platform, device.get()));
    TELVO_TRY_ASSIGN(const bool present_before, EntryPresent(*before.dacl.acl(), sid));
    bool wrote = false;
    if (present_before != wanted) {
        auto changed = ChangeAndProve(platform, device.get(), sid, before, wanted, wrote);
        if (!changed && !wrote) return Fail(std::move(changed.error()));  // the device is as it was
        if (!changed) {
            Error first = std::move(changed.error());
            auto rolled_back = RollBack(platform, device.get(), sid, present_before);
            if (!rolled_back) {
                return Fail("null-device operation failed: " + first.Display() + "; rollback also failed: " +
                            rolled_back.error().Display() + "; inspect host status before retrying");
            }
            return Fail(std::move(first).Context("null-device operation failed; own capability tuple rolled back"));
        }
    }
    auto presence = CurrentPresence(platform, device.get(), sid);
    if (!presence && wrote) {
        return Fail(std::move(presence.error())
                        .Context("null-device entry was changed and proved, but its final state could not be read; "
                                 "run host-status --null-device"));
    }
    if (!presence) return Fail(std::move(presence.error()));
    return Outcome{*presence, wrote};
}

Result<Outcome> Inspect(Platform& platform, const Sid& sid) {
    TELVO_TRY_ASSIGN(const UniqueHandle device, OpenDevice(platform, kStatusAccess));
    TELVO_TRY_ASSIGN(const bool present, CurrentPresence(platform, device.get(), sid));
    return Outcome{present, false};
}

}  // namespace

Result<Acl> RebuildNullDeviceDacl(const Acl& current, const Sid& sid, bool wanted) {
    std::size_t size = sid.size() + 16;
    for (const Ace& ace : current.aces()) size += ace.size();
    // Rounded up before the bound: 0xFFF9 and more would otherwise ask for 0x10000.
    const std::size_t rounded = (size + 7) & ~std::size_t{7};
    if (rounded > kMaxAclSize) return Fail("null-device DACL is too large");
    TELVO_TRY_ASSIGN(Acl dacl, Lift("InitializeAcl(null device)", Acl::Create(rounded, current.revision())));
    const Ace entry = Ace::Allowed(kNullDeviceEntryMask, sid);
    bool placed = !wanted;
    for (const Ace& ace : current.aces()) {
        TELVO_TRY_ASSIGN(const bool names, windows::FindSidInAce(ace, sid));
        if (names) continue;
        if (!placed && (ace.flags() & winformat::ace_flag::kInherited) != 0) {
            TELVO_TRY(Lift("AddAccessAllowedAce(null device)", dacl.Append(entry)));
            placed = true;
        }
        TELVO_TRY(Lift("AddAce(null device foreign entry)", dacl.Append(ace)));
    }
    if (!placed) TELVO_TRY(Lift("AddAccessAllowedAce(null device)", dacl.Append(entry)));
    return dacl;
}

Result<NullDeviceReport> RunNullDeviceOperation(Platform& platform, HostOperation operation) {
    TELVO_TRY_ASSIGN(const Sid sid, DeriveSingleCapabilitySid(platform.appcontainer, kNullDeviceCapability,
                                                              "expected a single capability SID"));
    TELVO_TRY_ASSIGN(std::string sid_text, identity::SidToString(platform.appcontainer, sid));
    TELVO_TRY_ASSIGN(const Outcome outcome, operation == HostOperation::status
                                                ? Inspect(platform, sid)
                                                : Change(platform, sid, operation == HostOperation::prepare));
    return NullDeviceReport{std::move(sid_text), outcome.prepared, outcome.changed};
}

}  // namespace telvo::host_prepare
