#include "windows/metadata_lock.h"

#include <algorithm>

#include "common/try.h"
#include "winformat/ace.h"

namespace telvo::windows {

namespace {

constexpr std::uint32_t kSynchronizeAndReadControl = 0x00120000;
constexpr std::uint32_t kReadControl = 0x00020000;

std::vector<std::pair<std::uint32_t, winformat::Sid>> ExpectedEntries() {
    return {
        {kSynchronizeAndReadControl, winformat::well_known::AuthenticatedUsers()},
        {kSynchronizeAndReadControl, winformat::well_known::LocalSystem()},
        // Takes WRITE_DAC away from whoever creates the mutex.
        {kReadControl, winformat::well_known::OwnerRights()},
    };
}

Result<void> TrustMetadataLock(const winformat::SecurityDescriptor* descriptor) {
    const auto expected = ExpectedEntries();
    if (descriptor == nullptr || !descriptor->owner || descriptor->dacl.acl() == nullptr ||
        descriptor->dacl.acl()->aces().size() != expected.size()) {
        return Fail("untrusted metadata lock owner or DACL");
    }
    std::vector<bool> seen(expected.size(), false);
    for (const winformat::Ace& ace : descriptor->dacl.acl()->aces()) {
        TELVO_TRY_ASSIGN(const winformat::Sid* sid,
                         CheckLockAceForm(ace, {"untrusted metadata lock ACE", "invalid metadata lock trustee",
                                                "invalid metadata lock trustee size"}));
        const auto match = std::find_if(expected.begin(), expected.end(), [&](const auto& entry) {
            return entry.first == *ace.mask() && entry.second == *sid;
        });
        if (match == expected.end()) return Fail("untrusted metadata lock trustee or rights");
        const auto index = static_cast<std::size_t>(match - expected.begin());
        if (seen[index]) return Fail("duplicate metadata lock trustee");
        seen[index] = true;
    }
    return {};
}

}  // namespace

Result<MutexLockGuard> AcquireMetadataLock(platform::Platform& platform) {
    static const MutexLockSpec spec{
        kMetadataLockName,
        "CreateMutexExW(metadata lock)",
        "GetKernelObjectSecurity(metadata lock)",
        "invalid metadata lock descriptor size",
        "WaitForSingleObject(metadata lock)",
        "another metadata mutation holds the global lock; timed out without changing permissions",
        &TrustMetadataLock,
    };
    TELVO_TRY_ASSIGN(auto descriptor, BuildLockDescriptor("metadata lock", std::nullopt, ExpectedEntries()));
    return AcquireMutexLock(platform, spec, descriptor);
}

}  // namespace telvo::windows
