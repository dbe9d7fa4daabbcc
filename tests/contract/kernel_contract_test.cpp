#include <gtest/gtest.h>

#include "contract/contract_host.h"
#include "platform/types.h"

namespace telvo::contract {
namespace {

TEST(KernelContract, ClosingAHandleTwiceFailsWithInvalidHandle) {
    auto host = MakeContractHost();
    auto& platform = host->platform();
    auto input = platform.console.GetStdHandle(platform::StdStream::input);
    ASSERT_TRUE(input);
    // A handle value that was never handed out.
    auto closed = platform.kernel.CloseHandle(platform::Handle{0x7ffc});
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error(), SysError::Win32(platform::win32_error::kInvalidHandle));
}

TEST(KernelContract, SleepAdvancesTheTickCount) {
    auto host = MakeContractHost();
    auto& kernel = host->platform().kernel;
    const std::uint64_t before = kernel.GetTickCount64();
    kernel.Sleep(50);
    const std::uint64_t after = kernel.GetTickCount64();
    // The tick count has a resolution of 10 to 16 ms on Windows.
    EXPECT_GE(after - before, 30u);
}

}  // namespace
}  // namespace telvo::contract
