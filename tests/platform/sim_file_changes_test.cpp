#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"

namespace telvo::platform::sim {
namespace {

constexpr std::uint32_t kShareAll = file_share::kRead | file_share::kWrite | file_share::kDelete;
constexpr std::uint32_t kReplace = movefile_flag::kReplaceExisting | movefile_flag::kWriteThrough;

// What the contract tests cannot observe under Wine: access checks on the
// handle, the sim's own choices for replaced targets, and other volumes.
class SimFileChangesTest : public ::testing::Test {
protected:
    SimFileChangesTest() {
        files().AddVolume({});
        files().AddVolume({.root = u"D:", .serial = 0xD});
    }
    SimFiles& files() { return host.files(); }
    UniqueHandle Open(const std::u16string& path, std::uint32_t access, std::uint32_t share = kShareAll) {
        auto handle = files().CreateFileW(path, access, share, creation_disposition::kOpenExisting, 0);
        EXPECT_TRUE(handle) << (handle ? 0 : handle.error().code);
        return UniqueHandle(host.platform().kernel, handle.value_or(kNullHandle));
    }
    SysResult<std::uint32_t> Write(const UniqueHandle& handle, std::string_view bytes) {
        return host.platform().kernel.WriteFile(handle.get(), std::as_bytes(std::span(bytes)));
    }
    std::string Contents(std::u16string_view path) { return files().Lookup(path).value().contents; }
    static SysError Win32(std::uint32_t code) { return SysError::Win32(code); }
    SimHost host;
};

TEST_F(SimFileChangesTest, WritesHonourTheHandlesAccess) {
    ASSERT_TRUE(files().MakeFile(u"C:\\f", "0123456789"));
    {
        auto reader = Open(u"C:\\f", file_access::kGenericRead);
        EXPECT_EQ(Write(reader, "x").error(), Win32(win32_error::kAccessDenied));
        EXPECT_EQ(files().FlushFileBuffers(reader.get()).error(), Win32(win32_error::kAccessDenied));
    }
    {
        auto writer = Open(u"C:\\f", file_access::kWriteData);
        EXPECT_EQ(Write(writer, "ab").value(), 2u);
        EXPECT_EQ(Write(writer, "cd").value(), 2u);  // the position advances
        EXPECT_TRUE(files().FlushFileBuffers(writer.get()));
    }
    EXPECT_EQ(Contents(u"C:\\f"), "abcd456789");
    {
        auto appender = Open(u"C:\\f", file_access::kAppendData | file_access::kSynchronize);
        EXPECT_EQ(Write(appender, "!").value(), 1u);
    }
    EXPECT_EQ(Contents(u"C:\\f"), "abcd456789!");
    EXPECT_EQ(files().FlushFileBuffers(Handle{0x4242}).error(), Win32(win32_error::kInvalidHandle));
}

TEST_F(SimFileChangesTest, ReplacedTargetInUseOrUnreplaceableIsRefusedAndKept) {
    ASSERT_TRUE(files().MakeFile(u"C:\\a", "a"));
    ASSERT_TRUE(files().MakeFile(u"C:\\b", "b"));
    ASSERT_TRUE(files().MakeDirectory(u"C:\\dir"));
    {
        // Sharing delete does not make an open target replaceable.
        auto shared = Open(u"C:\\b", file_access::kGenericRead, kShareAll);
        EXPECT_EQ(files().MoveFileExW(u"C:\\a", u"C:\\b", kReplace).error(), Win32(win32_error::kAccessDenied));
    }
    {
        auto metadata_only = Open(u"C:\\b", file_access::kReadControl, 0);
        EXPECT_EQ(files().MoveFileExW(u"C:\\a", u"C:\\b", kReplace).error(), Win32(win32_error::kAccessDenied));
    }
    EXPECT_EQ(files().MoveFileExW(u"C:\\a", u"C:\\dir", kReplace).error(), Win32(win32_error::kAccessDenied));
    EXPECT_EQ(files().MoveFileExW(u"C:\\dir", u"C:\\b", kReplace).error(), Win32(win32_error::kAccessDenied));
    EXPECT_EQ(files().MoveFileExW(u"C:\\a", u"D:\\a", kReplace).error(), Win32(win32_error::kNotSameDevice));
    EXPECT_EQ(files().MoveFileExW(u"C:\\a", u"C:\\c", movefile_flag::kDelayUntilReboot).error(),
              Win32(win32_error::kInvalidParameter));
    EXPECT_EQ(Contents(u"C:\\a"), "a");
    EXPECT_EQ(Contents(u"C:\\b"), "b");
    // A directory moves to a free name; a name moves onto itself in another case.
    EXPECT_TRUE(files().MoveFileExW(u"C:\\dir", u"C:\\moved", 0));
    EXPECT_TRUE(files().MoveFileExW(u"C:\\a", u"C:\\A", kReplace));
    EXPECT_EQ(Contents(u"C:\\A"), "a");
}

// Only data and DELETE opens take part in sharing; a directory with any open
// below it cannot be renamed, whatever that open's access.
TEST_F(SimFileChangesTest, MetadataOpensNeverShareButOpensBelowPinADirectoryName) {
    ASSERT_TRUE(files().MakeDirectory(u"C:\\d"));
    ASSERT_TRUE(files().MakeDirectory(u"C:\\d\\sub"));
    ASSERT_TRUE(files().MakeFile(u"C:\\d\\sub\\f", "f"));
    {
        // READ_CONTROL | WRITE_DAC | SYNCHRONIZE, sharing nothing.
        auto metadata = Open(u"C:\\d\\sub\\f", file_access::kReadControl | file_access::kWriteDac | file_access::kSynchronize, 0);
        EXPECT_TRUE(Open(u"C:\\d\\sub\\f", file_access::kReadData | file_access::kWriteData, 0));
        EXPECT_TRUE(files().MoveFileExW(u"C:\\d\\sub\\f", u"C:\\d\\sub\\g", 0));
        EXPECT_EQ(files().MoveFileExW(u"C:\\d", u"C:\\e", 0).error(), Win32(win32_error::kAccessDenied));
        EXPECT_EQ(files().MoveFileExW(u"C:\\d\\sub", u"C:\\d\\sub2", 0).error(), Win32(win32_error::kAccessDenied));
    }
    EXPECT_TRUE(files().MoveFileExW(u"C:\\d", u"C:\\e", 0));
    // A data open that shares nothing does block the DELETE open.
    auto reader = Open(u"C:\\e\\sub\\g", file_access::kReadData, file_share::kRead);
    EXPECT_EQ(files().DeleteFileW(u"C:\\e\\sub\\g").error(), Win32(win32_error::kSharingViolation));
}

TEST_F(SimFileChangesTest, ReadOnlyFilesAreNeitherReplacedNorDeleted) {
    ASSERT_TRUE(files().MakeDirectory(u"C:\\w"));
    ASSERT_TRUE(files().MakeFile(u"C:\\w\\a", "a"));
    ASSERT_TRUE(files().CreateFileW(u"C:\\w\\ro", file_access::kGenericWrite, 0, creation_disposition::kCreateNew,
                                    file_attribute::kReadOnly));
    EXPECT_EQ(files().MoveFileExW(u"C:\\w\\a", u"C:\\w\\ro", kReplace).error(), Win32(win32_error::kAccessDenied));
    EXPECT_EQ(files().DeleteFileW(u"C:\\w\\ro").error(), Win32(win32_error::kAccessDenied));
}

TEST_F(SimFileChangesTest, RemoveDirectoryChecksSharingBeforeContentsAndRemovesLinksThemselves) {
    ASSERT_TRUE(files().MakeDirectory(u"C:\\d"));
    ASSERT_TRUE(files().MakeFile(u"C:\\d\\f"));
    {
        auto listing = files().CreateFileW(u"C:\\d", file_access::kListDirectory, file_share::kRead,
                                           creation_disposition::kOpenExisting, file_flag::kBackupSemantics);
        ASSERT_TRUE(listing);
        UniqueHandle guard(host.platform().kernel, *listing);
        EXPECT_EQ(files().RemoveDirectoryW(u"C:\\d").error(), Win32(win32_error::kSharingViolation));
    }
    EXPECT_EQ(files().RemoveDirectoryW(u"C:\\d").error(), Win32(win32_error::kDirNotEmpty));
    ASSERT_TRUE(files().MakeJunction(u"C:\\j", u"\\\\?\\C:\\d"));
    ASSERT_TRUE(files().RemoveDirectoryW(u"C:\\j"));
    EXPECT_TRUE(files().Lookup(u"C:\\d\\f"));
    EXPECT_EQ(files().RemoveDirectoryW(u"C:\\").error(), Win32(win32_error::kAccessDenied));
}

TEST_F(SimFileChangesTest, DeletedNameIsGoneWhileSharedOpensRemain) {
    ASSERT_TRUE(files().MakeFile(u"C:\\f", "x"));
    auto open = Open(u"C:\\f", file_access::kGenericRead, kShareAll);
    ASSERT_TRUE(files().DeleteFileW(u"C:\\f"));
    EXPECT_FALSE(files().Lookup(u"C:\\f"));
    ASSERT_TRUE(files().MakeFile(u"C:\\f", "y"));
    EXPECT_EQ(Contents(u"C:\\f"), "y");
}

TEST_F(SimFileChangesTest, EveryChangeCanBeFaulted) {
    ASSERT_TRUE(files().MakeFile(u"C:\\f", "x"));
    ASSERT_TRUE(files().MakeDirectory(u"C:\\d"));
    auto writer = Open(u"C:\\f", file_access::kGenericWrite);
    for (const char* call : {"WriteFile", "FlushFileBuffers", "MoveFileExW", "DeleteFileW", "RemoveDirectoryW"}) {
        host.faults().FailOn(call, host.faults().Count(call) + 1, Win32(win32_error::kNotEnoughMemory));
    }
    EXPECT_FALSE(Write(writer, "y"));
    EXPECT_FALSE(files().FlushFileBuffers(writer.get()));
    EXPECT_FALSE(files().MoveFileExW(u"C:\\f", u"C:\\g", 0));
    EXPECT_FALSE(files().DeleteFileW(u"C:\\f"));
    EXPECT_FALSE(files().RemoveDirectoryW(u"C:\\d"));
    EXPECT_EQ(Contents(u"C:\\f"), "x");
    EXPECT_TRUE(files().Lookup(u"C:\\d"));
}

}  // namespace
}  // namespace telvo::platform::sim
