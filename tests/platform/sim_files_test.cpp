#include "platform/sim/sim_host.h"

#include <gtest/gtest.h>

#include "platform/unique_handle.h"

namespace telvo::platform::sim {
namespace {

// What only the sim can be asked: set-up helpers and behaviour the contract
// tests cannot plant (other processes, volumes, drive mappings, link loops).
class SimFilesTest : public ::testing::Test {
protected:
    SimFilesTest() {
        files().AddVolume({});
        files().AddVolume({.root = u"D:", .serial = 0xD, .drive_type = drive_type::kRemovable,
                           .device = u"\\Device\\HarddiskVolume9"});
    }
    SimFiles& files() { return host.files(); }
    SysResult<Handle> Open(const std::u16string& path, std::uint32_t access, std::uint32_t share,
                           std::uint32_t flags = file_flag::kBackupSemantics) {
        return files().CreateFileW(path, access, share, creation_disposition::kOpenExisting, flags);
    }
    SimHost host;
};

TEST_F(SimFilesTest, LockHeldByAnotherProcessConflictsUntilReleased) {
    ASSERT_TRUE(files().MakeFile(u"C:\\state.lock"));
    const std::uint32_t access = file_access::kGenericRead | file_access::kGenericWrite;
    const std::uint32_t share = file_share::kRead | file_share::kWrite;
    auto other = files().OpenInOtherProcess(u"C:\\state.lock", access, share, 0);
    ASSERT_TRUE(other);
    ASSERT_TRUE(files().LockInOtherProcess(**other, 0, 1));
    UniqueHandle mine(host.platform().kernel, Open(u"C:\\state.lock", access, share).value());
    const std::uint32_t flags = lock_flag::kExclusiveLock | lock_flag::kFailImmediately;
    EXPECT_EQ(files().LockFileEx(mine.get(), flags, 0, 1).error(), SysError::Win32(win32_error::kLockViolation));
    // Shared locks overlap each other, never an exclusive one.
    EXPECT_TRUE(files().LockFileEx(mine.get(), lock_flag::kFailImmediately, 1, 4));
    EXPECT_TRUE(files().LockFileEx(mine.get(), lock_flag::kFailImmediately, 2, 4));
    EXPECT_FALSE(files().LockFileEx(mine.get(), flags, 3, 1));
    EXPECT_EQ(files().UnlockFileEx(mine.get(), 7, 1).error(), SysError::Win32(win32_error::kNotLocked));
    other->reset();
    EXPECT_TRUE(files().LockFileEx(mine.get(), flags, 0, 1));
}

TEST_F(SimFilesTest, OtherProcessOpenSharesLikeAnyOther) {
    ASSERT_TRUE(files().MakeFile(u"C:\\f"));
    auto other = files().OpenInOtherProcess(u"C:\\f", file_access::kGenericRead, file_share::kRead, 0);
    ASSERT_TRUE(other);
    EXPECT_EQ(Open(u"C:\\f", file_access::kWriteData, 7).error(), SysError::Win32(win32_error::kSharingViolation));
    EXPECT_EQ(files().Remove(u"C:\\f").error(), SysError::Win32(win32_error::kSharingViolation));
}

TEST_F(SimFilesTest, DrivesAndDosDevices) {
    files().AddSubstDrive(u'S', u"\\\\?\\C:\\work");
    EXPECT_EQ(files().GetDriveTypeW(u"C:\\"), drive_type::kFixed);
    EXPECT_EQ(files().GetDriveTypeW(u"d:\\"), drive_type::kRemovable);
    EXPECT_EQ(files().GetDriveTypeW(u"S:\\"), drive_type::kFixed);
    EXPECT_EQ(files().GetDriveTypeW(u"Q:\\"), drive_type::kNoRootDir);
    const auto target = [&](const std::u16string& device) -> SysResult<std::u16string> {
        std::vector<char16_t> buffer(32768);
        auto count = files().QueryDosDeviceW(device, buffer);
        if (!count) return std::unexpected(count.error());
        return std::u16string(buffer.data());
    };
    EXPECT_EQ(target(u"d:").value(), u"\\Device\\HarddiskVolume9");
    EXPECT_EQ(target(u"S:").value(), u"\\??\\C:\\work");
    EXPECT_EQ(target(u"Q:").error(), SysError::Win32(win32_error::kFileNotFound));
}

TEST_F(SimFilesTest, Win32PathsAreNormalisedVerbatimPathsAreNot) {
    ASSERT_TRUE(files().MakeDirectory(u"C:\\a"));
    ASSERT_TRUE(files().MakeFile(u"C:\\a\\f"));
    EXPECT_TRUE(Open(u"c:/A/./x/../F. ", file_access::kReadControl, 7));
    EXPECT_EQ(Open(u"\\\\?\\C:\\a\\.\\f", file_access::kReadControl, 7).error(),
              SysError::Win32(win32_error::kInvalidName));
    EXPECT_EQ(Open(u"\\\\?\\C:\\a\\f\\g", file_access::kReadControl, 7).error(),
              SysError::Win32(win32_error::kPathNotFound));
    EXPECT_EQ(Open(u"C:relative", file_access::kReadControl, 7).error(), SysError::Win32(win32_error::kPathNotFound));
    EXPECT_EQ(Open(u"E:\\x", file_access::kReadControl, 7).error(), SysError::Win32(win32_error::kPathNotFound));
}

TEST_F(SimFilesTest, ReparseLoopsAndCrossVolumeLinksAreRefused) {
    ASSERT_TRUE(files().MakeJunction(u"C:\\loop", u"\\\\?\\C:\\loop"));
    EXPECT_EQ(Open(u"C:\\loop\\x", file_access::kReadControl, 7).error(),
              SysError::Win32(win32_error::kCantResolveFilename));
    ASSERT_TRUE(files().MakeFile(u"C:\\f"));
    EXPECT_EQ(files().MakeHardLink(u"C:\\f", u"D:\\f").error(), SysError::Win32(win32_error::kNotSameDevice));
    EXPECT_EQ(files().Rename(u"C:\\f", u"D:\\f").error(), SysError::Win32(win32_error::kNotSameDevice));
}

TEST_F(SimFilesTest, RenameKeepsTheObjectAndItsOpenHandles) {
    ASSERT_TRUE(files().MakeDirectory(u"C:\\a"));
    ASSERT_TRUE(files().MakeFile(u"C:\\a\\f", "abc"));
    const std::uint64_t index = files().Lookup(u"C:\\a\\f")->file_index;
    UniqueHandle handle(host.platform().kernel, Open(u"C:\\a\\f", file_access::kReadData, 7).value());
    ASSERT_TRUE(files().Rename(u"C:\\a\\f", u"C:\\g"));
    EXPECT_EQ(files().Lookup(u"C:\\G")->file_index, index);
    char16_t buffer[64];
    const std::uint32_t length = files().GetFinalPathNameByHandleW(handle.get(), buffer, 0).value();
    EXPECT_EQ(std::u16string(buffer, length), u"\\\\?\\C:\\g");
    EXPECT_TRUE(files().Remove(u"C:\\a"));
    EXPECT_EQ(files().Lookup(u"C:\\a").error(), SysError::Win32(win32_error::kFileNotFound));
    UniqueHandle holder(host.platform().kernel, Open(u"C:\\g", file_access::kReadData, 3).value());
    EXPECT_EQ(files().Rename(u"C:\\g", u"C:\\G2").error(), SysError::Win32(win32_error::kSharingViolation));
}

}  // namespace
}  // namespace telvo::platform::sim
