#include "windows/acl_mutation_lock.h"

#include <gtest/gtest.h>


#include "platform/file_constants.h"
#include "platform/sim/sim_host.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::windows {
namespace {

using platform::sim::SimHost;

constexpr char kState[] = "C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1";
constexpr char16_t kState16[] = u"C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1";
constexpr char16_t kLock16[] = u"C:\\Users\\tester\\AppData\\Local\\TelvoSandboxState-v1\\acl-mutations.lock";

class AclMutationLock : public winutil::testing::SimFileTest {
protected:
    void SetUp() override {
        for (std::u16string_view dir : {u"C:\\Users", u"C:\\Users\\tester", u"C:\\Users\\tester\\AppData",
                                         u"C:\\Users\\tester\\AppData\\Local", kState16}) {
            ASSERT_TRUE(host.files().MakeDirectory(dir));
        }
        baseline = host.handles().OpenCount();
    }

    // Another process holds byte 0 of the lock file.
    std::shared_ptr<platform::sim::SimFileObject> HoldElsewhere() {
        auto other = host.files().OpenInOtherProcess(kLock16, 0x0012019F, 0x3, 0);
        EXPECT_TRUE(other);
        EXPECT_TRUE(host.files().LockInOtherProcess(**other, 0, 1));
        return *other;
    }

    std::atomic<bool> cancel{false};
    std::size_t baseline = 0;
};

TEST_F(AclMutationLock, CreatesTheFileLocksAndUnlocks) {
    {
        auto lock = AcquireAclMutationLock(host.platform(), kState, cancel);
        ASSERT_TRUE(lock) << lock.error().Display();
        EXPECT_TRUE(host.files().Lookup(kLock16));
        // A second holder in this process conflicts too: the lock belongs to the open.
        auto second = AcquireAclMutationLock(host.platform(), kState, cancel);
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error().Display(), "ACL mutation lock is busy; timed out without changing permissions");
    }
    EXPECT_EQ(host.handles().OpenCount(), baseline);
    EXPECT_TRUE(host.files().Lookup(kLock16));  // the file stays
    EXPECT_TRUE(AcquireAclMutationLock(host.platform(), kState, cancel));
}

TEST_F(AclMutationLock, ReleaseUnlocksTheByteBeforeClosingTheFile) {
    host.faults().Watch("LockFileEx");
    host.faults().Watch("UnlockFileEx");
    host.faults().Watch("CloseHandle");
    ASSERT_TRUE(AcquireAclMutationLock(host.platform(), kState, cancel));
    // Closing alone leaves the unlock to the system, at a time of its choosing.
    const auto log = host.faults().Log();
    ASSERT_EQ(log.size(), 3u);
    const std::uint64_t file = log[0].arguments.at(0);
    using Call = platform::sim::FaultPlan::Call;
    EXPECT_EQ(log[0], (Call{"LockFileEx", {file, 0x3, 0, 1}}));  // exclusive, fail at once, byte 0 for 1
    EXPECT_EQ(log[1], (Call{"UnlockFileEx", {file, 0, 1}}));
    EXPECT_EQ(log[2], (Call{"CloseHandle", {file}}));
}

TEST_F(AclMutationLock, OpensTheNameItselfWithoutDeleteSharing) {
    host.faults().Watch("CreateFileW");
    ASSERT_TRUE(AcquireAclMutationLock(host.platform(), kState, cancel));
    using Call = platform::sim::FaultPlan::Call;
    // Read and write rights; sharing read and write only; OPEN_ALWAYS;
    // backup semantics, the reparse point itself, a normal file.
    EXPECT_EQ(host.faults().Log(), (std::vector<Call>{{"CreateFileW", {0x12019F, 0x3, 4, 0x02200080}}}));
    {
        // While it is held, no one may delete or rename the lock file.
        auto held = AcquireAclMutationLock(host.platform(), kState, cancel);
        ASSERT_TRUE(held);
        EXPECT_FALSE(host.files().OpenInOtherProcess(kLock16, platform::file_access::kDelete, 0x7, 0));
    }

    // A link planted at the lock's name is refused, and never followed: its
    // target is not created.
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\Elsewhere"));
    ASSERT_TRUE(host.files().Remove(kLock16));
    ASSERT_TRUE(host.files().MakeSymlink(kLock16, u"C:\\Elsewhere\\planted.lock", false));
    auto linked = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(linked);
    EXPECT_EQ(linked.error().Display(), "the ACL mutation lock must be a regular file");
    EXPECT_FALSE(host.files().Lookup(u"C:\\Elsewhere\\planted.lock"));
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, TimesOutAfterSixtySecondsOfPolling) {
    ASSERT_TRUE(host.files().MakeFile(kLock16));
    auto other = HoldElsewhere();
    const std::uint64_t start = host.clock().Now();
    auto lock = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(lock);
    EXPECT_EQ(lock.error().Display(), "ACL mutation lock is busy; timed out without changing permissions");
    EXPECT_EQ(host.clock().Now() - start, 60000u);
    // One try at the start and one after each 10 ms sleep.
    EXPECT_EQ(host.faults().Count("LockFileEx"), 6001u);
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, GetsTheLockOnceTheHolderLetsGo) {
    ASSERT_TRUE(host.files().MakeFile(kLock16));
    auto other = HoldElsewhere();
    const std::uint64_t start = host.clock().Now();
    // The other process closes the file, which drops its lock, while this
    // one sleeps for the third time.
    host.kernel().OnSleep([&](std::uint32_t) {
        if (host.faults().Count("Sleep") == 3) other.reset();
    });
    auto lock = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_TRUE(lock) << lock.error().Display();
    EXPECT_EQ(host.faults().Count("LockFileEx"), 4u);
    EXPECT_EQ(host.clock().Now() - start, 30u);
}

TEST_F(AclMutationLock, Cancellation) {
    cancel = true;
    auto before = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(before);
    EXPECT_EQ(before.error().Display(), "ACL mutation lock acquisition was cancelled");
    EXPECT_EQ(host.faults().Count("CreateFileW"), 0u);

    // Set while another process holds the lock: the wait ends at the next poll.
    cancel = false;
    ASSERT_TRUE(host.files().MakeFile(kLock16));
    auto other = HoldElsewhere();
    const std::uint64_t start = host.clock().Now();
    // The run is abandoned (by the monitor thread) during the second sleep.
    host.kernel().OnSleep([&](std::uint32_t) {
        if (host.faults().Count("Sleep") == 2) cancel = true;
    });
    auto during = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(during);
    EXPECT_EQ(during.error().Display(), "ACL mutation lock acquisition was cancelled");
    EXPECT_EQ(host.faults().Count("LockFileEx"), 2u);
    EXPECT_EQ(host.clock().Now() - start, 20u);
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, CancellationAsTheByteIsLockedUnlocksAndCloses) {
    host.faults().Watch("UnlockFileEx");
    // The run is abandoned just as this process takes the lock.
    host.faults().OnCall("LockFileEx", 1, [&] { cancel = true; });
    auto lock = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(lock);
    EXPECT_EQ(lock.error().Display(), "ACL mutation lock acquisition was cancelled");
    EXPECT_EQ(host.faults().Log().size(), 1u);  // the byte was unlocked
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, RefusesWhatIsNotARegularFile) {
    ASSERT_TRUE(host.files().MakeDirectory(kLock16));
    auto lock = AcquireAclMutationLock(host.platform(), kState, cancel);
    ASSERT_FALSE(lock);
    EXPECT_EQ(lock.error().Display(), "the ACL mutation lock must be a regular file");
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, RefusesAJunctionedStateDirectory) {
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\Elsewhere"));
    ASSERT_TRUE(host.files().MakeJunction(u"C:\\Users\\tester\\AppData\\Local\\Linked", u"C:\\Elsewhere"));
    auto lock = AcquireAclMutationLock(host.platform(), "C:\\Users\\tester\\AppData\\Local\\Linked", cancel);
    ASSERT_FALSE(lock);
    EXPECT_NE(lock.error().Display().find("path identity changed while establishing the sandbox"), std::string::npos)
        << lock.error().Display();
    EXPECT_EQ(host.handles().OpenCount(), baseline);
}

TEST_F(AclMutationLock, PlatformFailuresNameTheirCall) {
    host.faults().FailOn("CreateFileW", 1, SysError::Win32(5));
    EXPECT_EQ(AcquireAclMutationLock(host.platform(), kState, cancel).error().Display(),
              "CreateFileW(ACL mutation lock) failed with Win32 error 5");
    host.faults().FailOn("LockFileEx", 1, SysError::Win32(6));
    EXPECT_EQ(AcquireAclMutationLock(host.platform(), kState, cancel).error().Display(),
              "LockFileEx(ACL mutation lock) failed with Win32 error 6");
    // The re-check after locking fails: the byte is unlocked again.
    host.faults().FailOn("GetFileInformationByHandle", 3, SysError::Win32(1117));
    EXPECT_EQ(AcquireAclMutationLock(host.platform(), kState, cancel).error().Display(),
              "GetFileInformationByHandle failed with Win32 error 1117");
    EXPECT_EQ(host.handles().OpenCount(), baseline);
    EXPECT_TRUE(AcquireAclMutationLock(host.platform(), kState, cancel));
}

}  // namespace
}  // namespace telvo::windows
