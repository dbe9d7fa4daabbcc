#include "common/error.h"

#include <gtest/gtest.h>

namespace telvo {
namespace {

TEST(Error, PlatformMessageForms) {
    EXPECT_EQ(Error::Win32("CreateMutexW(live marker)", 183).Display(),
              "CreateMutexW(live marker) failed with Win32 error 183");
    EXPECT_EQ(Error::HResult("CreateAppContainerProfile", 0x800700B7).Display(),
              "CreateAppContainerProfile failed with HRESULT 0x800700b7");
    EXPECT_EQ(Error::NtStatus("BCryptGenRandom", 0xC000000D).Display(),
              "BCryptGenRandom failed with NTSTATUS 0xc000000d");
    EXPECT_EQ(Error::HResult("X", 5).Display(), "X failed with HRESULT 0x00000005");
}

TEST(Error, ChainReadsOutermostFirstAndKeepsTheRootCode) {
    const Error error = Error::Win32("LockFileEx(ACL mutation lock)", 33).Context("middle").Context("outer");
    EXPECT_EQ(error.Display(), "outer: middle: LockFileEx(ACL mutation lock) failed with Win32 error 33");
    EXPECT_EQ(error.message(), "outer");
    ASSERT_EQ(error.chain().size(), 3u);
    EXPECT_TRUE(error.IsWin32(33));
    EXPECT_FALSE(error.IsWin32(32));
    EXPECT_FALSE(Error("plain").IsWin32(0));
}

}  // namespace
}  // namespace telvo
