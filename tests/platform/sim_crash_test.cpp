// Crash injection: a process cut off after a seam call runs nothing more on
// the host, and its end leaves the host as a dead process's end does.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "platform/sim/sim_host.h"
#include "process/sandbox_job.h"
#include "windows/acl_mutation_lock.h"
#include "windows/global_locks.h"

namespace telvo::platform::sim {
namespace {

class SimCrashTest : public ::testing::Test {
protected:
    SimCrashTest() {
        host.files().AddVolume({});
        (void)host.files().MakeDirectory(u"\\\\?\\C:\\state");
    }
    SimHost host;
};

TEST_F(SimCrashTest, MetadataLockOfACrashedHolderIsAbandonedAndAcquiredNext) {
    // Another process keeps the mutex object alive across the crash.
    std::optional<windows::MutexLockGuard> held;
    {
        auto acquired = windows::AcquireMetadataLock(host.platform());
        ASSERT_TRUE(acquired) << acquired.error().Display();
        held.emplace(std::move(*acquired));
    }
    auto mutex = host.sync().FindMutex(windows::kMetadataLockName);
    ASSERT_TRUE(mutex && mutex->IsOwned());

    host.faults().CrashAfter(0);
    // The holder runs nothing more: even its guard's release changes nothing.
    held.reset();
    EXPECT_TRUE(host.faults().Crashed());
    EXPECT_FALSE(mutex->IsOwned());  // abandoned by the process end, not released
    EXPECT_EQ(host.handles().OpenCount(), 0u);

    host.StartNewProcess();
    // The wait reports WAIT_ABANDONED, which counts as acquired.
    auto waited = mutex->TryWait();
    ASSERT_TRUE(waited);
    EXPECT_EQ(*waited, wait_result::kAbandoned);
    ASSERT_TRUE(mutex->Release());
    auto next = windows::AcquireMetadataLock(host.platform());
    ASSERT_TRUE(next) << next.error().Display();
    EXPECT_TRUE(mutex->IsOwnedByCallingThread());
}

TEST_F(SimCrashTest, NextAcquisitionOfAnAbandonedMetadataLockSucceeds) {
    std::optional<windows::MutexLockGuard> held;
    {
        auto acquired = windows::AcquireMetadataLock(host.platform());
        ASSERT_TRUE(acquired);
        held.emplace(std::move(*acquired));
    }
    auto mutex = host.sync().FindMutex(windows::kMetadataLockName);
    host.faults().CrashAfter(0);
    held.reset();
    host.StartNewProcess();
    const auto before = host.clock().Now();
    auto next = windows::AcquireMetadataLock(host.platform());
    ASSERT_TRUE(next) << next.error().Display();
    EXPECT_TRUE(mutex->IsOwnedByCallingThread());
    EXPECT_EQ(host.clock().Now(), before);  // taken at once, without waiting out the 30 s
}

TEST_F(SimCrashTest, CallsAfterTheCrashPointChangeNothing) {
    host.faults().CrashAfter(1);
    EXPECT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\state\\first"));
    auto second = host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\state\\second");
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), SysError::Win32(1067));
    EXPECT_TRUE(host.files().Lookup(u"\\\\?\\C:\\state\\first"));
    EXPECT_FALSE(host.files().Lookup(u"\\\\?\\C:\\state\\second"));
    host.platform().console.ExitProcess(0);
    EXPECT_FALSE(host.console().ExitCode());
}

// Another process's calls, made on another OS thread, neither count towards
// the crash point of one process nor end that process in its place.
TEST_F(SimCrashTest, ACrashPointOfOneProcessIgnoresTheCallsOfOthers) {
    SimHelperProcess& other = host.StartHelperProcess();
    const std::uint32_t cut = host.caller().id();
    host.faults().CountOnly(cut);
    host.faults().CrashAfter(1);
    std::thread beside([&] {
        const auto binding = host.Bind(other);
        for (int call = 0; call < 3; ++call) EXPECT_TRUE(host.platform().pipes.CreateEventW(true, false));
    });
    beside.join();
    EXPECT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\state\\first"));
    EXPECT_EQ(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\state\\second").error(), SysError::Win32(1067));
    EXPECT_TRUE(host.faults().IsDead(cut));
    EXPECT_FALSE(host.faults().IsDead(other.id()));
    EXPECT_EQ(host.faults().Total(), 1u);
}

// A process is killed while another of its threads is inside a call: the
// next process starts once that call has returned, and the handle the call
// made (no sharing) is closed by then, so the next process can delete the file.
TEST_F(SimCrashTest, ACallUnderWayWhenItsProcessEndsLeavesNoHandleOpen) {
    SimHelperProcess& cut = host.caller();
    std::atomic<bool> inside{false};
    host.faults().OnCall("CreateFileW", 1, [&] {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    constexpr char16_t kPath[] = u"\\\\?\\C:\\state\\draft";
    std::thread opener([&] {
        const auto binding = host.Bind(cut);
        (void)host.platform().files.CreateFileW(kPath, file_access::kGenericWrite, 0, creation_disposition::kCreateNew,
                                                0);
    });
    while (!inside) std::this_thread::yield();
    host.KillProcess(cut);
    host.StartNewProcess();
    EXPECT_TRUE(host.files().Lookup(kPath));
    EXPECT_TRUE(host.platform().files.DeleteFileW(kPath));
    opener.join();
}

// The thread that met the crash point ends the process, and may still be
// closing its handles when the test sees the process dead: the next process
// starts only once the dead one has ended.
TEST_F(SimCrashTest, TheNextProcessStartsOnceTheCrashedOneHasClosedItsHandles) {
    struct SlowToClose final : SimObject {
        std::atomic<bool> closed{false};
        void OnLastHandleClosed() override {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            closed = true;
        }
    };
    SimHelperProcess& cut = host.caller();
    auto slow = std::make_shared<SlowToClose>();
    (void)cut.handles().Add(slow);
    host.faults().CrashAfter(0);
    std::thread other_thread([&] {
        const auto binding = host.Bind(cut);
        (void)host.platform().kernel.GetTickCount64();
    });
    while (!host.CallerIsDead()) std::this_thread::yield();
    host.StartNewProcess();
    EXPECT_TRUE(slow->closed);
    other_thread.join();
}

TEST_F(SimCrashTest, ProcessEndKillsItsJobsAndFreesItsByteLocks) {
    auto job = process::CreateSandboxJob(host.platform()).value();
    auto child = host.processes().StartInJob(job->handle(), ProcessBehaviour{std::nullopt, 0});
    const std::atomic<bool> cancel{false};
    auto lock = windows::AcquireAclMutationLock(host.platform(), "\\\\?\\C:\\state", cancel);
    ASSERT_TRUE(lock) << lock.error().Display();

    host.faults().CrashAfter(0);
    (void)host.platform().kernel.GetTickCount64();  // the first call after the crash point ends the process
    EXPECT_FALSE(child->Active());

    host.StartNewProcess();
    // The dead holder's byte lock went with its handle: the next run takes it at once.
    const auto before = host.clock().Now();
    auto next = windows::AcquireAclMutationLock(host.platform(), "\\\\?\\C:\\state", cancel);
    ASSERT_TRUE(next) << next.error().Display();
    EXPECT_EQ(host.clock().Now(), before);
}

}  // namespace
}  // namespace telvo::platform::sim
