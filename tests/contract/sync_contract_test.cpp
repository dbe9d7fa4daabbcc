#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "platform/file_constants.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/security.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/security_descriptor.h"
#include "winformat/text.h"

namespace telvo::contract {
namespace {

using platform::Handle;
using platform::UniqueHandle;

constexpr std::uint32_t kSynchronizeAndReadControl = 0x00120000;
constexpr std::uint32_t kNotOwner = 288;

class SyncContract : public ::testing::Test {
protected:
    void SetUp() override {
        host = MakeContractHost();
        // A name of its own per test, so that runs never meet each other.
        name = u"Local\\Telvo.Contract." +
               winformat::AsciiToUtf16(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    platform::Platform& p() { return host->platform(); }
    std::vector<std::uint8_t> Descriptor() {
        winformat::SecurityDescriptor descriptor;
        descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
            2, {winformat::Ace::Allowed(0x001F0001, winformat::well_known::World())}));
        return descriptor.ToSelfRelative();
    }

    std::unique_ptr<ContractHost> host;
    std::u16string name;
};

TEST_F(SyncContract, CreateReportsWhetherTheMutexExisted) {
    auto first = p().sync.CreateMutexExW(Descriptor(), false, name, 0, kSynchronizeAndReadControl);
    ASSERT_TRUE(first);
    UniqueHandle first_handle(p().kernel, first->handle);
    EXPECT_FALSE(first->already_existed);
    auto second = p().sync.CreateMutexW({}, false, false, name);
    ASSERT_TRUE(second);
    UniqueHandle second_handle(p().kernel, second->handle);
    EXPECT_TRUE(second->already_existed);

    auto opened = p().sync.OpenMutexW(0x00100000, false, name);
    ASSERT_TRUE(opened);
    UniqueHandle opened_handle(p().kernel, *opened);

    // Once every handle is closed the name is gone.
    first_handle.reset();
    second_handle.reset();
    opened_handle.reset();
    auto missing = p().sync.OpenMutexW(0x00100000, false, name);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), SysError::Win32(platform::win32_error::kFileNotFound));
}

TEST_F(SyncContract, OwnershipIsRecursiveAndReleasedByItsOwnerOnly) {
    auto created = p().sync.CreateMutexExW({}, false, name, 0, kSynchronizeAndReadControl);
    ASSERT_TRUE(created);
    UniqueHandle handle(p().kernel, created->handle);
    EXPECT_EQ(p().kernel.WaitForSingleObject(handle.get(), 0), platform::wait_result::kObject0);
    EXPECT_EQ(p().kernel.WaitForSingleObject(handle.get(), 0), platform::wait_result::kObject0);
    EXPECT_TRUE(p().sync.ReleaseMutex(handle.get()));
    EXPECT_TRUE(p().sync.ReleaseMutex(handle.get()));
    auto extra = p().sync.ReleaseMutex(handle.get());
    ASSERT_FALSE(extra);
    EXPECT_EQ(extra.error(), SysError::Win32(kNotOwner));
}

TEST_F(SyncContract, DescriptorReadsBackWithTheSizeProbe) {
    auto created = p().sync.CreateMutexExW(Descriptor(), false, name, 0, kSynchronizeAndReadControl);
    ASSERT_TRUE(created);
    UniqueHandle handle(p().kernel, created->handle);
    const std::uint32_t parts = platform::security_information::kOwner | platform::security_information::kDacl;
    std::uint32_t needed = 0;
    auto probe = p().security.GetKernelObjectSecurity(handle.get(), parts, {}, needed);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error(), SysError::Win32(platform::win32_error::kInsufficientBuffer));
    ASSERT_GT(needed, 20u);
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_TRUE(p().security.GetKernelObjectSecurity(handle.get(), parts, buffer, needed));
    auto descriptor = winformat::SecurityDescriptor::ParseSelfRelative(buffer);
    ASSERT_TRUE(descriptor) << descriptor.error().Display();
    EXPECT_TRUE(descriptor->owner.has_value());
    ASSERT_TRUE(descriptor->dacl.acl());
    ASSERT_EQ(descriptor->dacl.acl()->aces().size(), 1u);
    const winformat::Sid* trustee = descriptor->dacl.acl()->aces()[0].sid();
    ASSERT_NE(trustee, nullptr);
    EXPECT_EQ(*trustee, winformat::well_known::World());
}

// An existing name is opened with the access asked for, checked against the
// mutex's own descriptor: CreateMutexW asks for MUTEX_ALL_ACCESS, so a DACL
// that grants SYNCHRONIZE alone refuses it (no handle, no ERROR_ALREADY_EXISTS)
// while a SYNCHRONIZE open of the same name succeeds.
TEST_F(SyncContract, OpensOfAnExistingNameAreCheckedAgainstItsDacl) {
    winformat::SecurityDescriptor descriptor;
    descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
        2, {winformat::Ace::Allowed(platform::file_access::kSynchronize, winformat::well_known::World())}));
    auto created = p().sync.CreateMutexExW(descriptor.ToSelfRelative(), false, name, 0,
                                           platform::file_access::kSynchronize);
    ASSERT_TRUE(created) << created.error().code;
    UniqueHandle handle(p().kernel, created->handle);

    auto all = p().sync.CreateMutexW({}, false, false, name);
    ASSERT_FALSE(all);
    EXPECT_EQ(all.error(), SysError::Win32(platform::win32_error::kAccessDenied));
    auto modify = p().sync.OpenMutexW(platform::kMutexAllAccess, false, name);
    ASSERT_FALSE(modify);
    EXPECT_EQ(modify.error(), SysError::Win32(platform::win32_error::kAccessDenied));

    auto waiter = p().sync.OpenMutexW(platform::file_access::kSynchronize, false, name);
    ASSERT_TRUE(waiter) << waiter.error().code;
    UniqueHandle waiter_handle(p().kernel, *waiter);
    auto again = p().sync.CreateMutexExW({}, false, name, 0, platform::file_access::kSynchronize);
    ASSERT_TRUE(again) << again.error().code;
    UniqueHandle again_handle(p().kernel, again->handle);
    EXPECT_TRUE(again->already_existed);
}

// An owner that is neither the caller's user nor a group it may make owner.
TEST_F(SyncContract, AnOwnerTheCallerCannotBeIsRefused) {
    if (std::string(host->name()) == "win32") GTEST_SKIP() << "Wine accepts any owner in a new mutex's descriptor";
    winformat::SecurityDescriptor descriptor = winformat::SecurityDescriptor::ParseSelfRelative(Descriptor()).value();
    descriptor.owner = winformat::Sid::Make(5, {21, 9, 9, 9, 4242});
    auto created = p().sync.CreateMutexExW(descriptor.ToSelfRelative(), false, name, 0, kSynchronizeAndReadControl);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error(), SysError::Win32(platform::win32_error::kInvalidOwner));
    auto missing = p().sync.OpenMutexW(platform::file_access::kSynchronize, false, name);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), SysError::Win32(platform::win32_error::kFileNotFound));
}

}  // namespace
}  // namespace telvo::contract
