#include "common/error.h"
#include "common/size_probe.h"

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

TEST(Error, LiftNamesTheOperationAndKeepsTheCode) {
    Result<int> failed = Lift("GetFileInformationByHandle", SysResult<int>(std::unexpected(SysError::Win32(6))));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().Display(), "GetFileInformationByHandle failed with Win32 error 6");
    EXPECT_TRUE(failed.error().IsWin32(6));
    EXPECT_EQ(Lift("x", SysResult<int>(7)).value(), 7);
    EXPECT_TRUE(Lift("x", SysResult<void>()).has_value());
}

TEST(Error, FailureListJoinsDisplaysAndKeepsEachChain) {
    EXPECT_TRUE(FailureList{}.Finish().has_value());

    FailureList failures;
    failures.Add(Error::Win32("DeleteAce(revoke)", 87).Context("revoke authority C:\\w"));
    failures.Add(Error("remove C:\\x: denied"));
    auto joined = std::move(failures).Finish();
    ASSERT_FALSE(joined);
    EXPECT_EQ(joined.error().Display(),
              "revoke authority C:\\w: DeleteAce(revoke) failed with Win32 error 87; remove C:\\x: denied");
    ASSERT_EQ(joined.error().joined().size(), 2u);
    EXPECT_TRUE(joined.error().joined()[0].IsWin32(87));
    EXPECT_EQ(joined.error().Context("cleanup").Display(), "cleanup: " + joined.error().Display());
}

TEST(SizeProbe, RetriesWhileTheDataGrowsThenGivesUp) {
    std::vector<std::size_t> asked;
    auto grows = ProbeSized(4, kSizeProbeAttempts, "changed size repeatedly",
                            [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                                asked.push_back(buffer.size());
                                return std::optional<std::size_t>(buffer.size() * 2);
                            });
    ASSERT_FALSE(grows);
    EXPECT_EQ(grows.error().Display(), "changed size repeatedly");
    EXPECT_EQ(asked, (std::vector<std::size_t>{4, 8, 16}));

    auto fits = ProbeSized(4, kSizeProbeAttempts, "changed",
                           [&](std::vector<std::uint8_t>& buffer) -> Result<std::optional<std::size_t>> {
                               if (buffer.size() < 6) return std::optional<std::size_t>(6);
                               buffer[0] = 1;
                               return std::nullopt;
                           });
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->size(), 6u);
    EXPECT_EQ((*fits)[0], 1);

    auto fails = ProbeSized(4, kSizeProbeAttempts, "changed",
                            [](std::vector<std::uint8_t>&) -> Result<std::optional<std::size_t>> {
                                return std::unexpected(Error("denied"));
                            });
    EXPECT_EQ(fails.error().Display(), "denied");
}

}  // namespace
}  // namespace telvo
