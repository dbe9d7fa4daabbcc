// Several processes run the helper's code on one host: each has its own
// handles and token, and owns mutexes as itself, whatever OS thread runs it.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "windows/global_locks.h"

namespace telvo::platform::sim {
namespace {

TEST(SimHelperProcessTest, AnotherProcessOnTheSameThreadWaitsForTheLockAndGetsItAbandoned) {
    SimHost host;
    std::optional<windows::MutexLockGuard> held;
    {
        auto acquired = windows::AcquireMetadataLock(host.platform());
        ASSERT_TRUE(acquired) << acquired.error().Display();
        held.emplace(std::move(*acquired));
    }
    auto mutex = host.sync().FindMutex(windows::kMetadataLockName);

    SimHelperProcess& second = host.StartHelperProcess();
    EXPECT_NE(second.id(), host.caller().id());
    {
        const auto binding = host.Bind(second);
        // The same OS thread, another process: no recursion into the holder's lock.
        const auto before = host.clock().Now();
        EXPECT_EQ(windows::AcquireMetadataLock(host.platform()).error().Display(),
                  "another metadata mutation holds the global lock; timed out without changing permissions");
        EXPECT_GT(host.clock().Now(), before);
    }

    // The first process dies holding it; the second goes on, and takes it at once.
    host.faults().CrashAfter(0);
    held.reset();
    EXPECT_TRUE(host.CallerIsDead());
    EXPECT_FALSE(mutex->IsOwned());
    const auto binding = host.Bind(second);
    EXPECT_FALSE(host.CallerIsDead());
    const auto before = host.clock().Now();
    auto next = windows::AcquireMetadataLock(host.platform());
    ASSERT_TRUE(next) << next.error().Display();
    EXPECT_EQ(host.clock().Now(), before);
    EXPECT_TRUE(mutex->IsOwnedByCallingThread());
}

TEST(SimHelperProcessTest, HandlesBelongToTheProcessThatOpenedThem) {
    SimHost host;
    host.files().AddVolume({});
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\d"));
    auto opened = host.platform().files.CreateFileW(u"C:\\d", file_access::kReadControl, 0x7,
                                                    creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
    ASSERT_TRUE(opened);
    UniqueHandle guard(host.platform().kernel, *opened);
    ASSERT_TRUE(host.platform().processes.SetHandleInformation(*opened, handle_flag::kInherit, handle_flag::kInherit));

    SimHelperProcess& second = host.StartHelperProcess();
    const auto binding = host.Bind(second);
    EXPECT_EQ(host.platform().files.GetFileInformationByHandle(*opened).error(),
              SysError::Win32(win32_error::kInvalidHandle));
    EXPECT_EQ(host.platform().processes.GetHandleInformation(*opened).error(),
              SysError::Win32(win32_error::kInvalidHandle));
    // Its own standard streams, and its own token (set for it alone).
    EXPECT_NE(host.platform().console.GetStdHandle(StdStream::output).value(), kNullHandle);
    EXPECT_EQ(&host.stdout_pipe(), &second.stdout_pipe());
    host.security().SetTokenUser(winformat::Sid::Make(5, {21, 3, 3, 3, 1003}));
    EXPECT_NE(second.token().identity.user, host.security().DefaultToken().identity.user);
}

// Up to the release of what the routine holds: a handle guard it took along
// closes in its creator's table, never in whichever process is current then.
TEST(SimHelperProcessTest, ThreadsStartedThroughTheSeamActForTheirCreator) {
    SimHost host;
    SimHelperProcess& second = host.StartHelperProcess();
    std::uint32_t seen = 0;
    std::uint32_t released_as = 0;
    {
        const auto binding = host.Bind(second);
        std::shared_ptr<int> held(new int(0), [&](int* value) {
            released_as = host.caller().id();
            delete value;
        });
        auto thread = host.platform().processes.CreateThread(
            [&, held = std::move(held)] { seen = host.caller().id(); });
        ASSERT_TRUE(thread);
        UniqueHandle guard(host.platform().kernel, *thread);
        host.processes().JoinThreads();
    }
    EXPECT_EQ(seen, second.id());
    EXPECT_EQ(released_as, second.id());

    std::uint32_t service_released_as = 0;
    std::shared_ptr<int> service_held(new int(0), [&](int* value) {
        service_released_as = host.caller().id();
        delete value;
    });
    host.processes().StartThreadFor(second, [held = std::move(service_held)] {});
    host.processes().JoinThreads();
    EXPECT_EQ(service_released_as, second.id());
}

TEST(SimHelperProcessTest, TwoProcessesOnTwoThreadsTakeTheLockInTurn) {
    SimHost host;
    SimHelperProcess& second = host.StartHelperProcess();
    auto first_lock = windows::AcquireMetadataLock(host.platform());
    ASSERT_TRUE(first_lock);
    auto mutex = host.sync().FindMutex(windows::kMetadataLockName);
    std::thread other([&] {
        const auto binding = host.Bind(second);
        // Held by the first process: the second's wait times out on the virtual clock.
        EXPECT_FALSE(windows::AcquireMetadataLock(host.platform()));
    });
    other.join();
    first_lock = std::unexpected(Error("released"));
    std::thread after([&] {
        const auto binding = host.Bind(second);
        auto taken = windows::AcquireMetadataLock(host.platform());
        EXPECT_TRUE(taken);
        EXPECT_TRUE(mutex->IsOwnedByCallingThread());
    });
    after.join();
}

}  // namespace
}  // namespace telvo::platform::sim
