#include "windows/object_dacl.h"

#include <string>
#include <vector>

#include "common/size_probe.h"
#include "common/try.h"
#include "platform/security.h"
#include "windows/global_locks.h"
#include "winformat/ace.h"

namespace telvo::windows {

namespace {

using winformat::Ace;
namespace type = winformat::ace_type;
namespace control = winformat::sd_control;

// Room for a DACL of a dozen or so entries: most objects answer the first query.
constexpr std::size_t kFirstQueryBytes = 1024;

std::size_t RoundUpTo8(std::uint32_t size) { return (std::size_t{size} + 7) & ~std::size_t{7}; }

Result<void> CheckReportedSize(std::uint32_t needed, std::uint32_t status) {
    if (needed == 0 || needed > kMaxRawDescriptorSize) {
        return Fail("NtQuerySecurityObject invalid size " + std::to_string(needed) + ", NTSTATUS " + Hex32(status));
    }
    return {};
}

Result<std::vector<std::uint8_t>> QueryDacl(platform::Platform& platform, platform::Handle handle) {
    using platform::ntstatus::kBufferTooSmall;
    const std::uint32_t parts = platform::security_information::kDacl;
    std::vector<std::uint8_t> first(kFirstQueryBytes, 0);
    std::uint32_t needed = 0;
    auto probe = platform.security.NtQuerySecurityObject(handle, parts, first, needed);
    if (probe) return first;
    TELVO_TRY(CheckReportedSize(needed, probe.error().code));
    return ProbeSized(RoundUpTo8(needed), kSizeProbeAttempts, "raw DACL changed size repeatedly during probe",
                      [&](std::span<std::uint8_t> buffer) -> Result<std::optional<std::size_t>> {
                          auto read = platform.security.NtQuerySecurityObject(handle, parts, buffer, needed);
                          if (read) return std::nullopt;
                          if (read.error() != SysError::NtStatus(kBufferTooSmall)) {
                              return FailSys("NtQuerySecurityObject", read.error());
                          }
                          // The DACL grew: `needed` holds its new size.
                          TELVO_TRY(CheckReportedSize(needed, kBufferTooSmall));
                          return RoundUpTo8(needed);
                      });
}

std::uint16_t PreservedControl(std::uint16_t had) {
    auto kept = static_cast<std::uint16_t>(had & (control::kDaclProtected | control::kDaclAutoInherited |
                                                  control::kDaclDefaulted));
    if (had & (control::kDaclAutoInheritReq | control::kDaclAutoInherited)) kept |= control::kDaclAutoInheritReq;
    return kept;
}

}  // namespace

Result<winformat::SecurityDescriptor> ParseDescriptor(std::span<const std::uint8_t> bytes, std::string_view operation) {
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    if (!parsed) {
        return Fail(std::move(parsed.error()).Context(Error::Win32(operation, platform::win32_error::kInvalidSecurityDescr).message()));
    }
    return parsed;
}

Result<winformat::SecurityDescriptor> ReadRawDaclAsIs(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(auto bytes, QueryDacl(platform, handle));
    return ParseDescriptor(bytes, "GetSecurityDescriptorDacl(raw)");
}

Result<ObjectDescriptor> ReadRawDacl(platform::Platform& platform, platform::Handle handle) {
    TELVO_TRY_ASSIGN(auto descriptor, ReadRawDaclAsIs(platform, handle));
    if (descriptor.dacl.acl() == nullptr) return Fail("native sandbox refuses an absent/null DACL");
    return ObjectDescriptor{std::move(descriptor)};
}

namespace {

SidPresence PresenceInAce(const Ace& ace, const winformat::Sid& sid) {
    switch (ace.type()) {
        case type::kAccessAllowed:
        case type::kAccessDenied:
        case type::kAccessAllowedCallback:
        case type::kAccessDeniedCallback:
        case type::kAccessAllowedObject:
        case type::kAccessDeniedObject:
        case type::kAccessAllowedCallbackObject:
        case type::kAccessDeniedCallbackObject: {
            // Parsing placed the SID: at byte 8, or after the object GUIDs the flags announce.
            const winformat::Sid* named = ace.sid();
            return named != nullptr && *named == sid ? SidPresence::named : SidPresence::absent;
        }
        default:
            if (sid.size() > ace.size()) return SidPresence::absent;
            return winformat::ContainsSidBytes(ace.Serialize(), sid) ? SidPresence::hidden : SidPresence::absent;
    }
}

}  // namespace

Result<bool> FindSidInAce(const Ace& ace, const winformat::Sid& sid) {
    const SidPresence presence = PresenceInAce(ace, sid);
    if (presence == SidPresence::hidden) return Fail("unsupported DACL ACE may contain the AppContainer SID");
    return presence == SidPresence::named;
}

SidPresence FindSidInAcl(const winformat::Acl& acl, const winformat::Sid& sid) {
    SidPresence found = SidPresence::absent;
    for (const Ace& ace : acl.aces()) {
        const SidPresence presence = PresenceInAce(ace, sid);
        if (presence == SidPresence::hidden) return presence;
        if (presence == SidPresence::named) found = presence;
    }
    return found;
}

Result<bool> AclNamesSid(const winformat::Acl& acl, const winformat::Sid& sid) {
    bool named = false;
    for (const Ace& ace : acl.aces()) {
        TELVO_TRY_ASSIGN(const bool this_one, windows::FindSidInAce(ace, sid));
        named = named || this_one;
    }
    return named;
}

Result<SidAccess> SummarizeSidAces(const winformat::Acl& acl, const winformat::Sid& sid, bool include_inherit_only) {
    SidAccess access;
    for (const Ace& ace : acl.aces()) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(ace, sid));
        if (!named) continue;
        if (ace.type() != type::kAccessAllowed && ace.type() != type::kAccessDenied) {
            return Fail("unexpected conditional/object AppContainer grant");
        }
        if (!include_inherit_only && (ace.flags() & winformat::ace_flag::kInheritOnly)) continue;
        (ace.type() == type::kAccessAllowed ? access.allowed : access.denied) |= *ace.mask();
    }
    return access;
}

Result<winformat::Acl> RemoveSidAces(const winformat::Acl& acl, const winformat::Sid& sid) {
    winformat::Acl copy = acl;
    for (std::size_t index = copy.aces().size(); index-- > 0;) {
        TELVO_TRY_ASSIGN(const bool named, windows::FindSidInAce(copy.aces()[index], sid));
        if (!named) continue;
        if (auto erased = copy.Erase(index); !erased) return FailSys("DeleteAce(revoke)", erased.error());
    }
    return copy;
}

Result<void> WriteObjectLocalDacl(platform::Platform& platform, const MutexLockGuard&, platform::Handle handle,
                                  const ObjectDescriptor& read, const winformat::Acl& acl) {
    winformat::SecurityDescriptor next;
    next.control = PreservedControl(read.descriptor.control);
    next.dacl = winformat::AclSlot(acl);
    return Lift("NtSetSecurityObject", platform.security.NtSetSecurityObject(
                                           handle, platform::security_information::kDacl, next.ToSelfRelative()));
}

Result<void> RevokeSidFromObject(platform::Platform& platform, platform::Handle handle, const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(auto lock, AcquireMetadataLock(platform));
    return RevokeSidFromObject(platform, lock, handle, sid);
}

Result<void> RevokeSidFromObject(platform::Platform& platform, const MutexLockGuard& held, platform::Handle handle,
                                 const winformat::Sid& sid) {
    TELVO_TRY_ASSIGN(ObjectDescriptor current, ReadRawDacl(platform, handle));
    TELVO_TRY_ASSIGN(winformat::Acl remaining, RemoveSidAces(current.dacl(), sid));
    if (remaining.aces().size() == current.dacl().aces().size()) return {};
    return WriteObjectLocalDacl(platform, held, handle, current, remaining);
}

}  // namespace telvo::windows
