#include "windows/host_setup_lock.h"

#include "common/try.h"
#include "winformat/ace.h"

namespace telvo::windows {

namespace {

constexpr std::uint32_t kSynchronizeAndReadControl = 0x00120000;

Result<void> TrustHostSetupLock(const winformat::SecurityDescriptor* descriptor) {
    const winformat::Sid administrators = winformat::well_known::Administrators();
    const winformat::Sid system = winformat::well_known::LocalSystem();
    if (descriptor == nullptr || descriptor->owner != administrators || descriptor->dacl.acl() == nullptr ||
        descriptor->dacl.acl()->aces().size() != 2) {
        return Fail("untrusted administrative setup lock; no permissions changed");
    }
    bool seen_administrators = false;
    bool seen_system = false;
    for (const winformat::Ace& ace : descriptor->dacl.acl()->aces()) {
        TELVO_TRY_ASSIGN(const winformat::Sid* sid, CheckLockAceForm(ace, {"untrusted administrative setup lock permissions",
                                                                         "invalid administrative setup lock trustee",
                                                                         "invalid administrative setup lock trustee size"}));
        if (*ace.mask() != kSynchronizeAndReadControl) return Fail("untrusted administrative setup lock mask");
        bool& seen = *sid == administrators ? seen_administrators : seen_system;
        if (*sid != administrators && *sid != system) return Fail("untrusted administrative setup lock trustee");
        if (seen) return Fail("duplicate administrative setup lock trustee");
        seen = true;
    }
    return {};
}

}  // namespace

Result<MutexLockGuard> AcquireHostSetupLock(platform::Platform& platform) {
    static const MutexLockSpec spec{
        kHostSetupLockName,
        "CreateMutexExW(administrative setup lock)",
        "GetKernelObjectSecurity(administrative setup lock)",
        "invalid administrative setup lock descriptor size",
        "WaitForSingleObject(administrative setup lock)",
        "another host preparation is active; timed out without changing permissions",
        &TrustHostSetupLock,
    };
    TELVO_TRY_ASSIGN(auto descriptor,
                     BuildLockDescriptor("host preparation", winformat::well_known::Administrators(),
                                         {{kSynchronizeAndReadControl, winformat::well_known::Administrators()},
                                          {kSynchronizeAndReadControl, winformat::well_known::LocalSystem()}}));
    return AcquireMutexLock(platform, spec, descriptor);
}

}  // namespace telvo::windows
