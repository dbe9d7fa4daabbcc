#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"
#include "windows/global_locks.h"

namespace telvo::windows {
namespace {

using platform::sim::SimHost;
using winformat::Ace;
using winformat::Acl;
using winformat::Sid;
namespace wk = winformat::well_known;

std::vector<std::uint8_t> Descriptor(std::optional<Sid> owner, std::vector<Ace> aces) {
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = std::move(owner);
    descriptor.dacl = winformat::AclSlot(*Acl::Fitted(2, std::move(aces)));
    return descriptor.ToSelfRelative();
}

std::vector<Ace> MetadataAces() {
    return {Ace::Allowed(0x120000, wk::AuthenticatedUsers()), Ace::Allowed(0x120000, wk::LocalSystem()),
            Ace::Allowed(0x20000, wk::OwnerRights())};
}

std::vector<Ace> SetupAces() {
    return {Ace::Allowed(0x120000, wk::Administrators()), Ace::Allowed(0x120000, wk::LocalSystem())};
}

// Host preparation runs as an elevated administrator.
void Elevate(SimHost& host) {
    host.security().SetProcessToken(
        platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), true, true));
}

// Acquires the lock on a host where another process created the mutex with
// the given descriptor; returns the refusal, and checks that nothing waited.
std::string PlantedRefusal(bool metadata, std::vector<std::uint8_t> descriptor) {
    SimHost host;
    if (!metadata) Elevate(host);
    const auto planted = host.sync().PlantMutex(metadata ? kMetadataLockName : kHostSetupLockName, descriptor);
    planted->HoldByOtherProcess();
    const std::size_t handles = host.handles().OpenCount();
    const std::uint64_t clock = host.clock().Now();
    auto lock = metadata ? AcquireMetadataLock(host.platform()) : AcquireHostSetupLock(host.platform());
    EXPECT_FALSE(lock);
    EXPECT_EQ(host.faults().Count("WaitForSingleObject"), 0u);
    EXPECT_EQ(host.clock().Now(), clock);
    EXPECT_EQ(host.handles().OpenCount(), handles);
    return lock ? std::string() : lock.error().Display();
}

TEST(MetadataLock, CreatesTheMutexWithItsExactSecurityAndReleasesIt) {
    SimHost host;
    const std::size_t handles = host.handles().OpenCount();
    {
        auto lock = AcquireMetadataLock(host.platform());
        ASSERT_TRUE(lock) << lock.error().Display();
        const auto mutex = host.sync().FindMutex(kMetadataLockName);
        ASSERT_TRUE(mutex);
        EXPECT_TRUE(mutex->IsOwnedByCallingThread());
        // No owner is asked for: the creator's account becomes the owner.
        auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(mutex->security_descriptor);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->owner, host.security().TokenUser());
        ASSERT_TRUE(parsed->dacl.acl());
        EXPECT_EQ(parsed->dacl.acl()->aces(), MetadataAces());
        EXPECT_EQ(parsed->dacl.acl()->size(), 256u);
    }
    EXPECT_EQ(host.handles().OpenCount(), handles);
    EXPECT_FALSE(host.sync().FindMutex(kMetadataLockName));
}

TEST(MetadataLock, IsCreatedWithoutInitialOwnershipAndNotInheritable) {
    SimHost host;
    Elevate(host);
    host.faults().Watch("CreateMutexExW");
    ASSERT_TRUE(AcquireMetadataLock(host.platform()));
    ASSERT_TRUE(AcquireHostSetupLock(host.platform()));
    // Flags 0 (no CREATE_MUTEX_INITIAL_OWNER), access SYNCHRONIZE | READ_CONTROL.
    using Call = platform::sim::FaultPlan::Call;
    EXPECT_EQ(host.faults().Log(), (std::vector<Call>{{"CreateMutexExW", {0, 0x120000}}, {"CreateMutexExW", {0, 0x120000}}}));
}

// Another process rewrites the mutex's descriptor, one owner SID longer each
// time, as each of the given uses of GetKernelObjectSecurity begins.
void GrowDescriptorOn(SimHost& host, const std::shared_ptr<platform::sim::SimMutex>& mutex,
                      std::vector<std::uint64_t> uses) {
    for (std::size_t i = 0; i < uses.size(); ++i) {
        std::vector<std::uint32_t> sub_authorities(3 + i, 21);
        const Sid owner = Sid::Make(winformat::sid_authority::kNt, sub_authorities);
        host.faults().OnCall("GetKernelObjectSecurity", uses[i],
                             [mutex, owner] { mutex->security_descriptor = Descriptor(owner, MetadataAces()); });
    }
}

TEST(MetadataLock, ADescriptorThatGrowsWhileReadIsReadAgainAFewTimesAtMost) {
    SimHost grows;
    const auto once = grows.sync().PlantMutex(kMetadataLockName, Descriptor(wk::Users(), MetadataAces()));
    GrowDescriptorOn(grows, once, {2});
    auto lock = AcquireMetadataLock(grows.platform());
    ASSERT_TRUE(lock) << lock.error().Display();
    EXPECT_EQ(grows.faults().Count("GetKernelObjectSecurity"), 3u);  // the probe, a short read, the read

    SimHost keeps_growing;
    const auto always = keeps_growing.sync().PlantMutex(kMetadataLockName, Descriptor(wk::Users(), MetadataAces()));
    always->HoldByOtherProcess();
    GrowDescriptorOn(keeps_growing, always, {2, 3, 4});
    auto refused = AcquireMetadataLock(keeps_growing.platform());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Display(), "GetKernelObjectSecurity(metadata lock) changed size repeatedly");
    EXPECT_EQ(keeps_growing.faults().Count("GetKernelObjectSecurity"), 4u);
    EXPECT_EQ(keeps_growing.faults().Count("WaitForSingleObject"), 0u);
}

TEST(MetadataLock, IsReentrantForItsHolder) {
    SimHost host;
    auto outer = AcquireMetadataLock(host.platform());
    ASSERT_TRUE(outer);
    {
        auto inner = AcquireMetadataLock(host.platform());
        ASSERT_TRUE(inner) << inner.error().Display();
    }
    EXPECT_TRUE(host.sync().FindMutex(kMetadataLockName)->IsOwnedByCallingThread());
}

TEST(MetadataLock, TimesOutOnAnotherHolderAndAcquiresAnAbandonedOne) {
    SimHost host;
    const auto planted = host.sync().PlantMutex(kMetadataLockName, Descriptor(wk::Users(), MetadataAces()));
    planted->HoldByOtherProcess();
    const std::uint64_t before = host.clock().Now();
    auto busy = AcquireMetadataLock(host.platform());
    ASSERT_FALSE(busy);
    EXPECT_EQ(busy.error().Display(),
              "another metadata mutation holds the global lock; timed out without changing permissions");
    EXPECT_EQ(host.clock().Now() - before, 30000u);

    planted->AbandonByOtherProcess();
    auto abandoned = AcquireMetadataLock(host.platform());
    ASSERT_TRUE(abandoned) << abandoned.error().Display();
    EXPECT_TRUE(planted->IsOwnedByCallingThread());
}

TEST(MetadataLock, AcceptsThePlantedEntriesInAnyOrder) {
    SimHost host;
    auto aces = MetadataAces();
    std::swap(aces[0], aces[2]);
    const auto planted = host.sync().PlantMutex(kMetadataLockName, Descriptor(wk::Users(), aces));
    EXPECT_TRUE(AcquireMetadataLock(host.platform()));
}

TEST(MetadataLock, RefusesForeignSecurityWithoutWaiting) {
    auto fourth = MetadataAces();
    fourth.push_back(Ace::Allowed(0x1F0001, wk::World()));
    EXPECT_EQ(PlantedRefusal(true, Descriptor(wk::Users(), fourth)), "untrusted metadata lock owner or DACL");

    auto mask = MetadataAces();
    mask[1] = Ace::Allowed(0x1F0001, wk::LocalSystem());
    EXPECT_EQ(PlantedRefusal(true, Descriptor(wk::Users(), mask)), "untrusted metadata lock trustee or rights");

    auto duplicate = MetadataAces();
    duplicate[2] = duplicate[0];
    EXPECT_EQ(PlantedRefusal(true, Descriptor(wk::Users(), duplicate)), "duplicate metadata lock trustee");

    auto inheritable = MetadataAces();
    inheritable[0] = Ace::Allowed(0x120000, wk::AuthenticatedUsers(), 0x3);
    EXPECT_EQ(PlantedRefusal(true, Descriptor(wk::Users(), inheritable)), "untrusted metadata lock ACE");

    auto padded = MetadataAces();
    padded[1] = *Ace::Make(winformat::ace_type::kAccessAllowed, 0,
                           winformat::BasicAceBody{0x120000, wk::LocalSystem(), {0, 0, 0, 0}});
    EXPECT_EQ(PlantedRefusal(true, Descriptor(wk::Users(), padded)), "invalid metadata lock trustee size");

    EXPECT_EQ(PlantedRefusal(true, Descriptor(std::nullopt, MetadataAces())), "untrusted metadata lock owner or DACL");

    winformat::SecurityDescriptor null_dacl;
    null_dacl.owner = wk::Users();
    null_dacl.dacl = winformat::AclSlot::Null();
    EXPECT_EQ(PlantedRefusal(true, null_dacl.ToSelfRelative()), "untrusted metadata lock owner or DACL");
}

TEST(MetadataLock, PlatformFailuresNameTheirCall) {
    SimHost probe;
    probe.faults().FailOn("GetKernelObjectSecurity", 1, SysError::Win32(5));
    EXPECT_EQ(AcquireMetadataLock(probe.platform()).error().Display(), "invalid metadata lock descriptor size");

    SimHost read;
    read.faults().FailOn("GetKernelObjectSecurity", 2, SysError::Win32(5));
    EXPECT_EQ(AcquireMetadataLock(read.platform()).error().Display(),
              "GetKernelObjectSecurity(metadata lock) failed with Win32 error 5");

    SimHost create;
    create.faults().FailOn("CreateMutexExW", 1, SysError::Win32(5));
    EXPECT_EQ(AcquireMetadataLock(create.platform()).error().Display(),
              "CreateMutexExW(metadata lock) failed with Win32 error 5");

    SimHost wait;
    const std::size_t handles = wait.handles().OpenCount();
    wait.faults().FailOn("WaitForSingleObject", 1, SysError::Win32(6));
    EXPECT_EQ(AcquireMetadataLock(wait.platform()).error().Display(),
              "WaitForSingleObject(metadata lock) failed with Win32 error 6");
    EXPECT_EQ(wait.handles().OpenCount(), handles);
}

TEST(HostSetupLock, CreatesTheMutexOwnedByAdministrators) {
    SimHost host;
    Elevate(host);
    auto lock = AcquireHostSetupLock(host.platform());
    ASSERT_TRUE(lock) << lock.error().Display();
    auto parsed = winformat::SecurityDescriptor::ParseSelfRelative(
        host.sync().FindMutex(kHostSetupLockName)->security_descriptor);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->owner, wk::Administrators());
    ASSERT_TRUE(parsed->dacl.acl());
    EXPECT_EQ(parsed->dacl.acl()->aces(), SetupAces());
}

TEST(HostSetupLock, RefusesForeignSecurityWithoutWaiting) {
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Users(), SetupAces())),
              "untrusted administrative setup lock; no permissions changed");
    auto third = SetupAces();
    third.push_back(Ace::Allowed(0x120000, wk::Users()));
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Administrators(), third)),
              "untrusted administrative setup lock; no permissions changed");
    auto mask = SetupAces();
    mask[0] = Ace::Allowed(0x1F0001, wk::Administrators());
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Administrators(), mask)), "untrusted administrative setup lock mask");
    auto trustee = SetupAces();
    trustee[1] = Ace::Allowed(0x120000, wk::World());
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Administrators(), trustee)),
              "untrusted administrative setup lock trustee");
    auto duplicate = SetupAces();
    duplicate[1] = duplicate[0];
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Administrators(), duplicate)),
              "duplicate administrative setup lock trustee");
    // (A deny entry for the administrator itself refuses the open: error 5.)
    auto denied = SetupAces();
    denied[1] = Ace::Denied(0x120000, wk::LocalSystem());
    EXPECT_EQ(PlantedRefusal(false, Descriptor(wk::Administrators(), denied)),
              "untrusted administrative setup lock permissions");
}

TEST(HostSetupLock, OnlyAnElevatedAdministratorMayCreateIt) {
    // Administrators as the owner of a new object is refused to a token
    // that holds the group deny-only or not at all.
    for (const bool administrator : {false, true}) {
        SimHost host;
        host.security().SetProcessToken(
            platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), administrator, false));
        EXPECT_EQ(AcquireHostSetupLock(host.platform()).error().Display(),
                  "CreateMutexExW(administrative setup lock) failed with Win32 error 1307");
        EXPECT_FALSE(host.sync().FindMutex(kHostSetupLockName));
    }
    // An existing one whose DACL does not let the caller in is not opened.
    SimHost host;
    const auto planted = host.sync().PlantMutex(kHostSetupLockName, Descriptor(wk::Administrators(), SetupAces()));
    EXPECT_EQ(AcquireHostSetupLock(host.platform()).error().Display(),
              "CreateMutexExW(administrative setup lock) failed with Win32 error 5");
}

TEST(HostSetupLock, TimesOutWithItsOwnMessage) {
    SimHost host;
    Elevate(host);
    const auto planted = host.sync().PlantMutex(kHostSetupLockName, Descriptor(wk::Administrators(), SetupAces()));
    planted->HoldByOtherProcess();
    EXPECT_EQ(AcquireHostSetupLock(host.platform()).error().Display(),
              "another host preparation is active; timed out without changing permissions");
}

}  // namespace
}  // namespace telvo::windows
