#include "windows/global_locks.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/size_probe.h"
#include "common/try.h"
#include "platform/file_constants.h"
#include "platform/security.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"
#include "winformat/sid.h"

namespace telvo::windows {

namespace {

using namespace platform;
using Entries = std::vector<std::pair<std::uint32_t, winformat::Sid>>;

constexpr std::uint32_t kSynchronizeAndReadControl = file_access::kSynchronize | file_access::kReadControl;
constexpr std::uint32_t kLockAccess = kSynchronizeAndReadControl;
constexpr std::uint32_t kWaitMs = 30000;
constexpr std::uint32_t kMaxDescriptorSize = 65536;
constexpr std::size_t kLockAclBuffer = 256;

// What tells one lock from the other: its name, its descriptor, what its
// trust check accepts, and its messages.
struct LockSpec {
    const char16_t* name;
    const char* descriptor_context;  // "InitializeAcl(<context>)", "AddAccessAllowedAce(<context>)"
    std::optional<winformat::Sid> owner;
    Entries entries;
    const char* create_operation;
    const char* security_operation;
    const char* invalid_size;
    const char* wait_operation;
    const char* timeout;
    // The trust check: the owner (`owner` when set, else any valid one) or
    // the DACL's entry count is wrong; an entry is not a plain ACCESS_ALLOWED
    // without flags of at least 16 bytes; it has no valid SID; its size is
    // not that of its SID; its mask is none of the expected ones; its
    // (mask, SID) pair is not expected; the pair came twice.
    const char* untrusted_owner_or_dacl;
    const char* untrusted_ace;
    const char* invalid_trustee;
    const char* invalid_trustee_size;
    const char* untrusted_mask;
    const char* untrusted_trustee;
    const char* duplicate_trustee;
};

const LockSpec& SpecOf(GlobalLock lock) {
    static const LockSpec metadata{
        kMetadataLockName,
        "metadata lock",
        std::nullopt,
        {
            {kSynchronizeAndReadControl, winformat::well_known::AuthenticatedUsers()},
            {kSynchronizeAndReadControl, winformat::well_known::LocalSystem()},
            // Takes WRITE_DAC away from whoever creates the mutex.
            {file_access::kReadControl, winformat::well_known::OwnerRights()},
        },
        "CreateMutexExW(metadata lock)",
        "GetKernelObjectSecurity(metadata lock)",
        "invalid metadata lock descriptor size",
        "WaitForSingleObject(metadata lock)",
        "another metadata mutation holds the global lock; timed out without changing permissions",
        "untrusted metadata lock owner or DACL",
        "untrusted metadata lock ACE",
        "invalid metadata lock trustee",
        "invalid metadata lock trustee size",
        "untrusted metadata lock trustee or rights",
        "untrusted metadata lock trustee or rights",
        "duplicate metadata lock trustee",
    };
    static const LockSpec host_setup{
        kHostSetupLockName,
        "host preparation",
        winformat::well_known::Administrators(),
        {
            {kSynchronizeAndReadControl, winformat::well_known::Administrators()},
            {kSynchronizeAndReadControl, winformat::well_known::LocalSystem()},
        },
        "CreateMutexExW(administrative setup lock)",
        "GetKernelObjectSecurity(administrative setup lock)",
        "invalid administrative setup lock descriptor size",
        "WaitForSingleObject(administrative setup lock)",
        "another host preparation is active; timed out without changing permissions",
        "untrusted administrative setup lock; no permissions changed",
        "untrusted administrative setup lock permissions",
        "invalid administrative setup lock trustee",
        "invalid administrative setup lock trustee size",
        "untrusted administrative setup lock mask",
        "untrusted administrative setup lock trustee",
        "duplicate administrative setup lock trustee",
    };
    return lock == GlobalLock::metadata ? metadata : host_setup;
}

// The owner when the lock sets one, and a DACL of revision 2 in a 256-byte
// buffer with one ACCESS_ALLOWED entry per (mask, SID), in order.
Result<std::vector<std::uint8_t>> BuildDescriptor(const LockSpec& spec) {
    const std::string context = spec.descriptor_context;
    TELVO_TRY_ASSIGN(auto acl, Lift("InitializeAcl(" + context + ")",
                                    winformat::Acl::Create(kLockAclBuffer, winformat::acl_revision::kRevision)));
    for (const auto& [mask, sid] : spec.entries) {
        TELVO_TRY(Lift("AddAccessAllowedAce(" + context + ")", acl.Append(winformat::Ace::Allowed(mask, sid))));
    }
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = spec.owner;
    descriptor.dacl = winformat::AclSlot(std::move(acl));
    return descriptor.ToSelfRelative();
}

Result<std::vector<std::uint8_t>> ReadOwnerAndDacl(Platform& platform, Handle mutex, const LockSpec& spec) {
    return ReadMutexOwnerAndDacl(platform, mutex, spec.security_operation, spec.invalid_size);
}

Result<const winformat::Sid*> CheckAceForm(const winformat::Ace& ace, const LockSpec& spec) {
    if (ace.type() != winformat::ace_type::kAccessAllowed || ace.flags() != 0 || ace.size() < 16) {
        return Fail(spec.untrusted_ace);
    }
    const winformat::Sid* sid = ace.sid();
    if (sid == nullptr) return Fail(spec.invalid_trustee);
    if (ace.size() != 16 + 4 * static_cast<std::size_t>(sid->sub_authority_count())) {
        return Fail(spec.invalid_trustee_size);
    }
    return sid;
}

// The descriptor must be what this program creates: the same owner (or any
// when it sets none) and exactly the expected entries, in any order.
Result<void> Trust(const LockSpec& spec, std::span<const std::uint8_t> bytes) {
    const auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(bytes);
    const winformat::Acl* dacl = descriptor ? descriptor->dacl.acl() : nullptr;
    const bool owner_trusted = descriptor && descriptor->owner && (!spec.owner || descriptor->owner == spec.owner);
    if (!owner_trusted || dacl == nullptr || dacl->aces().size() != spec.entries.size()) {
        return Fail(spec.untrusted_owner_or_dacl);
    }
    std::vector<bool> seen(spec.entries.size(), false);
    for (const winformat::Ace& ace : dacl->aces()) {
        TELVO_TRY_ASSIGN(const winformat::Sid* sid, CheckAceForm(ace, spec));
        const std::uint32_t mask = *ace.mask();
        if (std::none_of(spec.entries.begin(), spec.entries.end(), [&](const auto& entry) { return entry.first == mask; })) {
            return Fail(spec.untrusted_mask);
        }
        const auto match = std::find_if(spec.entries.begin(), spec.entries.end(),
                                        [&](const auto& entry) { return entry.first == mask && entry.second == *sid; });
        if (match == spec.entries.end()) return Fail(spec.untrusted_trustee);
        const auto index = static_cast<std::size_t>(match - spec.entries.begin());
        if (seen[index]) return Fail(spec.duplicate_trustee);
        seen[index] = true;
    }
    return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> ReadMutexOwnerAndDacl(Platform& platform, Handle mutex, std::string_view operation,
                                                        std::string_view invalid_size) {
    const std::uint32_t parts = security_information::kOwner | security_information::kDacl;
    const SysError too_small = SysError::Win32(win32_error::kInsufficientBuffer);
    const auto bounded = [&](std::uint32_t size) -> Result<std::size_t> {
        if (size == 0 || size > kMaxDescriptorSize) return Fail(std::string(invalid_size));
        return size;
    };
    std::uint32_t needed = 0;
    auto probe = platform.security.GetKernelObjectSecurity(mutex, parts, {}, needed);
    if (probe || probe.error() != too_small) return Fail(std::string(invalid_size));
    TELVO_TRY_ASSIGN(const std::size_t size, bounded(needed));

    const std::string name(operation);
    TELVO_TRY_ASSIGN(auto bytes, ProbeSized(size, kSizeProbeAttempts, name + " changed size repeatedly",
                                            [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                                                auto read = platform.security.GetKernelObjectSecurity(mutex, parts,
                                                                                                      buffer, needed);
                                                if (read) return std::optional<std::size_t>();
                                                if (read.error() != too_small) return FailSys(name, read.error());
                                                return bounded(needed);
                                            }));
    bytes.resize(std::min<std::size_t>(bytes.size(), needed));
    return bytes;
}

Result<MutexLockGuard> AcquireGlobalLock(Platform& platform, GlobalLock lock) {
    const LockSpec& spec = SpecOf(lock);
    TELVO_TRY_ASSIGN(const auto descriptor, BuildDescriptor(spec));
    TELVO_TRY_ASSIGN(const auto created, Lift(spec.create_operation,
                                              platform.sync.CreateMutexExW(descriptor, false, spec.name, 0, kLockAccess)));
    UniqueHandle mutex(platform.kernel, created.handle);

    // The object may have been created by someone else: trust what was
    // obtained, not what was asked for, and never wait on a planted object.
    TELVO_TRY_ASSIGN(const auto obtained, ReadOwnerAndDacl(platform, mutex.get(), spec));
    TELVO_TRY(Trust(spec, obtained));

    TELVO_TRY_ASSIGN(const std::uint32_t waited,
                     Lift(spec.wait_operation, platform.kernel.WaitForSingleObject(mutex.get(), kWaitMs)));
    switch (waited) {
        case wait_result::kObject0:
        case wait_result::kAbandoned:
            return MutexLockGuard(platform, std::move(mutex));
        case wait_result::kTimeout:
            return Fail(spec.timeout);
        default:
            return Fail(Error::Win32(spec.wait_operation, waited));
    }
}

Result<MutexLockGuard> AcquireHostSetupLock(Platform& platform) {
    return AcquireGlobalLock(platform, GlobalLock::host_setup);
}

Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform) {
    return AcquireGlobalLock(platform, GlobalLock::metadata);
}

}  // namespace telvo::windows
