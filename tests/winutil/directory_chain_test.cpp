#include "winutil/directory_chain.h"

#include <gtest/gtest.h>

#include "sim_file_fixture.h"
#include "winutil/recorded_path.h"

namespace telvo::winutil {
namespace {

using platform::sim::SimFileObject;

class DirectoryChainTest : public testing::SimFileTest {
protected:
    template <class T>
    std::string ErrorOf(const Result<T>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    std::uint32_t AccessOf(const ChainEntry& entry) {
        return host.handles().FindAs<SimFileObject>(entry.handle.get())->access();
    }
};

TEST_F(DirectoryChainTest, VolumeRootIsOneEntry) {
    auto chain = OpenDirectoryChain(platform(), "c:\\", false);
    ASSERT_TRUE(chain) << chain.error().Display();
    ASSERT_EQ(chain->entries.size(), 1u);
    EXPECT_EQ(chain->entries[0].path, "\\\\?\\C:\\");
}

TEST_F(DirectoryChainTest, HoldsEveryAncestorRootFirstUntilDropped) {
    Dir("\\\\?\\C:\\Users");
    Dir("\\\\?\\C:\\Users\\Me");
    const std::size_t before = OpenHandles();
    {
        auto chain = OpenDirectoryChain(platform(), "C:/users/me", true);
        ASSERT_TRUE(chain) << chain.error().Display();
        ASSERT_EQ(chain->entries.size(), 3u);
        EXPECT_EQ(chain->entries[0].path, "\\\\?\\C:\\");
        EXPECT_EQ(chain->entries[1].path, "\\\\?\\C:\\users");
        EXPECT_EQ(chain->entries[2].path, "\\\\?\\C:\\users\\me");
        EXPECT_EQ(chain->entries[2].identity.file_index, IndexOf("\\\\?\\C:\\Users\\Me"));
        // CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES to what is asked.
        constexpr std::uint32_t kAdded = platform::file_access::kSynchronize | platform::file_access::kReadAttributes;
        EXPECT_EQ(AccessOf(chain->entries[0]), platform::file_access::kReadControl | kAdded);
        EXPECT_EQ(AccessOf(chain->entries[1]), platform::file_access::kReadControl | kAdded);
        EXPECT_EQ(AccessOf(chain->entries[2]),
                  platform::file_access::kReadControl | platform::file_access::kWriteDac | kAdded);
        EXPECT_EQ(OpenHandles(), before + 3);
        // An open child holds the directories above it.
        EXPECT_FALSE(files().Rename(u"\\\\?\\C:\\Users", u"\\\\?\\C:\\Elsewhere"));
    }
    EXPECT_EQ(OpenHandles(), before);
    EXPECT_TRUE(files().Rename(u"\\\\?\\C:\\Users", u"\\\\?\\C:\\Elsewhere"));
}

TEST_F(DirectoryChainTest, RefusesWhatIsNotAStableDirectoryAndClosesWhatItOpened) {
    Dir("\\\\?\\C:\\a");
    File("\\\\?\\C:\\a\\file");
    Dir("\\\\?\\C:\\target");
    Dir("\\\\?\\C:\\target\\x");
    Junction("\\\\?\\C:\\a\\j", "\\\\?\\C:\\target");
    const std::size_t before = OpenHandles();
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "C:\\a\\file", false)),
              "metadata ancestry is not a stable directory: \\\\?\\C:\\a\\file");
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "C:\\a\\j\\x", false)),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\a\\j");
    ASSERT_TRUE(files().SetFileIndex(u"\\\\?\\C:\\a", 0));
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "C:\\a", false)),
              "metadata ancestry is not a stable directory: \\\\?\\C:\\a");
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "C:\\a\\..\\target", false)),
              "path must be a normalized absolute local-drive path");
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "C:\\target\\missing", false)),
              "CreateFileW(\\\\?\\C:\\target\\missing) failed with Win32 error 2");
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(DirectoryChainTest, FatVolumeIsRefused) {
    files().AddVolume({.root = u"F:", .serial = 0x77, .file_system_flags = 0x3, .file_system_name = u"FAT32"});
    ASSERT_TRUE(files().MakeDirectory(u"\\\\?\\F:\\data"));
    const std::size_t before = OpenHandles();
    EXPECT_EQ(ErrorOf(OpenDirectoryChain(platform(), "F:\\data", false)),
              "the filesystem does not provide persistent ACLs: \\\\?\\F:\\");
    EXPECT_EQ(ErrorOf(CaptureRecordedPath(platform(), "\\\\?\\F:\\data")),
              "the filesystem does not provide persistent ACLs: \\\\?\\F:\\data");
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(DirectoryChainTest, EveryFailedCallClosesEveryHandle) {
    Dir("\\\\?\\C:\\a");
    Dir("\\\\?\\C:\\a\\b");
    const std::size_t before = OpenHandles();
    for (const char* call : {"CreateFileW", "GetFinalPathNameByHandleW", "GetFileInformationByHandle",
                             "GetVolumeInformationByHandleW"}) {
        for (int use = 1; use <= 3; ++use) {
            host.faults().Clear();
            host.faults().FailOn(call, host.faults().Count(call) + use, SysError::Win32(1450));
            auto chain = OpenDirectoryChain(platform(), "C:\\a\\b", true);
            ASSERT_FALSE(chain) << call << " #" << use;
            EXPECT_NE(chain.error().Display().find("failed with Win32 error 1450"), std::string::npos);
            EXPECT_EQ(OpenHandles(), before) << call << " #" << use;
        }
    }
}

class RecordedPathTest : public DirectoryChainTest {};

TEST_F(RecordedPathTest, CapturesAndReopensTheSameObject) {
    Dir("\\\\?\\C:\\w");
    const std::size_t before = OpenHandles();
    auto recorded = CaptureRecordedPath(platform(), "\\\\?\\C:\\w");
    ASSERT_TRUE(recorded) << recorded.error().Display();
    EXPECT_EQ(recorded->path, "\\\\?\\C:\\w");
    EXPECT_EQ(recorded->identity, (FileIdentity{0x2C5E1A07, IndexOf("\\\\?\\C:\\w")}));
    EXPECT_EQ(OpenHandles(), before);
    auto reopened = ReopenRecordedPath(platform(), *recorded);
    ASSERT_TRUE(reopened) << reopened.error().Display();
    EXPECT_EQ(OpenHandles(), before + 1);
    reopened->reset();
    auto chain = ReopenRecordedChain(platform(), *recorded);
    ASSERT_TRUE(chain) << chain.error().Display();
    EXPECT_EQ(chain->entries.size(), 2u);
}

TEST_F(RecordedPathTest, ObjectReplacedUnderTheSameNameIsRefused) {
    Dir("\\\\?\\C:\\w");
    auto recorded = CaptureRecordedPath(platform(), "\\\\?\\C:\\w");
    ASSERT_TRUE(recorded);
    Rename("\\\\?\\C:\\w", "\\\\?\\C:\\w-old");
    Dir("\\\\?\\C:\\w");
    const std::size_t before = OpenHandles();
    EXPECT_EQ(ErrorOf(ReopenRecordedPath(platform(), *recorded)), "recovery path identity changed: \\\\?\\C:\\w");
    EXPECT_EQ(ErrorOf(ReopenRecordedChain(platform(), *recorded)),
              "metadata recovery path identity changed: \\\\?\\C:\\w");
    RecordedPath other_volume = *recorded;
    other_volume.identity = {0x1234, IndexOf("\\\\?\\C:\\w")};
    EXPECT_EQ(ErrorOf(ReopenRecordedPath(platform(), other_volume)), "recovery path identity changed: \\\\?\\C:\\w");
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(RecordedPathTest, ZeroIndexIsNeitherCapturedNorMatched) {
    File("\\\\?\\C:\\f");
    ASSERT_TRUE(files().SetFileIndex(u"\\\\?\\C:\\f", 0));
    EXPECT_EQ(ErrorOf(CaptureRecordedPath(platform(), "\\\\?\\C:\\f")),
              "filesystem returned no stable identity for \\\\?\\C:\\f");
    EXPECT_EQ(ErrorOf(ReopenRecordedPath(platform(), {"\\\\?\\C:\\f", {0x2C5E1A07, 0}})),
              "recovery path identity changed: \\\\?\\C:\\f");
}

TEST_F(RecordedPathTest, JunctionSwappedInIsRefused) {
    Dir("\\\\?\\C:\\w");
    Dir("\\\\?\\C:\\secret");
    auto recorded = CaptureRecordedPath(platform(), "\\\\?\\C:\\w");
    ASSERT_TRUE(recorded);
    Rename("\\\\?\\C:\\w", "\\\\?\\C:\\w-old");
    Junction("\\\\?\\C:\\w", "\\\\?\\C:\\secret");
    EXPECT_EQ(ErrorOf(ReopenRecordedPath(platform(), *recorded)),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\w");
}

}  // namespace
}  // namespace telvo::winutil
