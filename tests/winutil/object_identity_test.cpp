#include <gtest/gtest.h>

#include "sim_file_fixture.h"
#include "winutil/object_open.h"
#include "winutil/local_path.h"

namespace telvo::winutil {
namespace {

using telvo::SysError;
namespace win32_error = platform::win32_error;

class ObjectIdentity : public testing::SimFileTest {
protected:
    // The call after the next size probe of a final path fails.
    void FailSizedCall(std::uint32_t code) {
        host.faults().FailOn("GetFinalPathNameByHandleW", host.faults().Count("GetFinalPathNameByHandleW") + 2,
                             SysError::Win32(code));
    }
};

// The displayed error of a result that must have failed.
template <class T>
std::string ErrorOf(const Result<T>& result) {
    return result ? std::string("(succeeded)") : result.error().Display();
}

TEST_F(ObjectIdentity, OpensDirectoriesAndReportsRealCaseFinalPath) {
    Dir("\\\\?\\C:\\Work");
    Dir("\\\\?\\C:\\Work\\Src");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\c:\\WORK\\src", false);
    ASSERT_TRUE(handle) << handle.error().Display();
    EXPECT_EQ(ReadFinalPath(platform().files, handle->get()).value(), u"\\\\?\\C:\\Work\\Src");
    EXPECT_TRUE(VerifyFinalPath(platform().files, handle->get(), "\\\\?\\C:\\work\\SRC\\"));
    auto identity = StableIdentity(platform().files, handle->get(), "x");
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->volume_serial, 0x2C5E1A07u);
    EXPECT_EQ(identity->file_index, IndexOf("\\\\?\\C:\\Work\\Src"));
}

TEST_F(ObjectIdentity, OpenFailureNamesThePath) {
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\missing", true);
    ASSERT_FALSE(handle);
    EXPECT_EQ(handle.error().Display(), "CreateFileW(\\\\?\\C:\\missing) failed with Win32 error 2");
}

TEST_F(ObjectIdentity, HandleWithoutDataAccessDoesNotHoldTheName) {
    File("\\\\?\\C:\\f");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\f", false);
    ASSERT_TRUE(handle);
    // The handle has no data access, so it takes no part in sharing: a
    // rename by another process succeeds, and the final path follows it.
    Rename("\\\\?\\C:\\f", "\\\\?\\C:\\g");
    auto verified = VerifyFinalPath(platform().files, handle->get(), "\\\\?\\C:\\f");
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().Display(),
              "path identity changed while establishing the sandbox: expected \\\\?\\C:\\f, opened \\\\?\\C:\\g");
}

TEST_F(ObjectIdentity, JunctionSwappedInIsOpenedItselfAndRefused) {
    Dir("\\\\?\\C:\\root");
    Dir("\\\\?\\C:\\secret");
    Dir("\\\\?\\C:\\root\\d");
    Rename("\\\\?\\C:\\root\\d", "\\\\?\\C:\\root\\d-old");
    Junction("\\\\?\\C:\\root\\d", "\\\\?\\C:\\secret");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\root\\d", false);
    ASSERT_TRUE(handle);
    // The junction itself, not its target.
    EXPECT_TRUE(VerifyFinalPath(platform().files, handle->get(), "\\\\?\\C:\\root\\d"));
    auto identity = StableIdentity(platform().files, handle->get(), "\\\\?\\C:\\root\\d");
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error().Display(),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\root\\d");
}

TEST_F(ObjectIdentity, JunctionInAnAncestorIsCaughtByTheFinalPath) {
    Dir("\\\\?\\C:\\secret");
    File("\\\\?\\C:\\secret\\key");
    Junction("\\\\?\\C:\\link", "\\\\?\\C:\\secret");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\link\\key", false);
    ASSERT_TRUE(handle);
    auto verified = VerifyFinalPath(platform().files, handle->get(), "\\\\?\\C:\\link\\key");
    ASSERT_FALSE(verified);
    EXPECT_EQ(verified.error().Display(),
              "path identity changed while establishing the sandbox: expected \\\\?\\C:\\link\\key, opened "
              "\\\\?\\C:\\secret\\key");
}

TEST_F(ObjectIdentity, SecondHardLinkIsRefused) {
    File("\\\\?\\C:\\a");
    HardLink("\\\\?\\C:\\a", "\\\\?\\C:\\b");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\a", false);
    ASSERT_TRUE(handle);
    auto identity = StableIdentity(platform().files, handle->get(), "\\\\?\\C:\\a");
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error().Display(),
              "hard-linked objects are not accepted in a Windows sandbox authority: \\\\?\\C:\\a");
}

// A usual final path is read in one call; one longer than MAX_PATH (and
// longer than the path expected) takes a sized call after the probe.
TEST_F(ObjectIdentity, FinalPathFailuresNameTheirCall) {
    File("\\\\?\\C:\\f");
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\C:\\f", false);
    ASSERT_TRUE(handle);
    std::uint64_t calls = host.faults().Count("GetFinalPathNameByHandleW");
    EXPECT_TRUE(VerifyFinalPath(platform().files, handle->get(), "\\\\?\\C:\\f"));
    EXPECT_EQ(host.faults().Count("GetFinalPathNameByHandleW") - calls, 1u);
    FailNext("GetFinalPathNameByHandleW", 6);
    EXPECT_EQ(ErrorOf(VerifyFinalPath(platform().files, handle->get(), "x")),
              "GetFinalPathNameByHandleW(size) failed with Win32 error 6");

    const std::string deep = "\\\\?\\C:\\" + std::string(150, 'a') + "\\" + std::string(150, 'b');
    Dir(deep.substr(0, deep.rfind('\\')));
    File(deep);
    auto long_one = OpenObjectNoFollow(platform(), deep, false);
    ASSERT_TRUE(long_one);
    calls = host.faults().Count("GetFinalPathNameByHandleW");
    EXPECT_TRUE(VerifyFinalPath(platform().files, long_one->get(), deep));
    EXPECT_EQ(host.faults().Count("GetFinalPathNameByHandleW") - calls, 1u);  // sized by the expected path
    EXPECT_EQ(ReadFinalPath(platform().files, long_one->get()).value(), Wide(deep));
    EXPECT_EQ(host.faults().Count("GetFinalPathNameByHandleW") - calls, 3u);
    FailSizedCall(8);
    EXPECT_EQ(ErrorOf(VerifyFinalPath(platform().files, long_one->get(), "x")),
              "GetFinalPathNameByHandleW failed with Win32 error 8");
}

// A path that grows between the size probe and the sized call is read again;
// one that keeps growing gives up after three sized calls.
TEST_F(ObjectIdentity, FinalPathThatKeepsGrowingFailsAfterThreeSizedCalls) {
    // Answers every sized call with a path one unit longer than the last.
    class GrowingFiles : public platform::Files {
    public:
        explicit GrowingFiles(platform::Files& inner) : inner_(inner) {}
        std::uint32_t calls = 0;
        SysResult<std::uint32_t> GetFinalPathNameByHandleW(platform::Handle, std::span<char16_t> buffer,
                                                           std::uint32_t) override {
            const std::u16string path = u"\\\\?\\C:\\" + std::u16string(300 + (calls += 2), u'x');
            if (buffer.size() <= path.size()) return static_cast<std::uint32_t>(path.size() + 1);
            std::copy(path.begin(), path.end(), buffer.begin());
            return static_cast<std::uint32_t>(path.size());
        }
        SysResult<platform::Handle> CreateFileW(const std::u16string& p, std::uint32_t a, std::uint32_t s,
                                                std::uint32_t d, std::uint32_t f) override {
            return inner_.CreateFileW(p, a, s, d, f);
        }
        SysResult<platform::Handle> ReOpenFile(platform::Handle h, std::uint32_t a, std::uint32_t s,
                                               std::uint32_t f) override {
            return inner_.ReOpenFile(h, a, s, f);
        }
        SysResult<void> CreateDirectoryW(const std::u16string& p, std::span<const std::uint8_t> d) override {
            return inner_.CreateDirectoryW(p, d);
        }
        SysResult<platform::NtCreatedFile> NtCreateFile(platform::Handle r, const std::u16string& n, std::uint32_t a,
                                                        std::uint32_t f, std::uint32_t s, std::uint32_t d,
                                                        std::uint32_t o) override {
            return inner_.NtCreateFile(r, n, a, f, s, d, o);
        }
        SysResult<platform::Handle> NtOpenFile(const std::u16string& p, std::uint32_t a, std::uint32_t s,
                                               std::uint32_t o) override {
            return inner_.NtOpenFile(p, a, s, o);
        }
        SysResult<void> SetFileBasicInfo(platform::Handle h, std::uint32_t a) override {
            return inner_.SetFileBasicInfo(h, a);
        }
        SysResult<void> SetFileDispositionInfo(platform::Handle h, bool d) override {
            return inner_.SetFileDispositionInfo(h, d);
        }
        SysResult<void> FlushFileBuffers(platform::Handle h) override { return inner_.FlushFileBuffers(h); }
        SysResult<void> MoveFileExW(const std::u16string& e, const std::u16string& n, std::uint32_t f) override {
            return inner_.MoveFileExW(e, n, f);
        }
        SysResult<void> DeleteFileW(const std::u16string& p) override { return inner_.DeleteFileW(p); }
        SysResult<void> RemoveDirectoryW(const std::u16string& p) override { return inner_.RemoveDirectoryW(p); }
        SysResult<platform::FileInformation> GetFileInformationByHandle(platform::Handle h) override {
            return inner_.GetFileInformationByHandle(h);
        }
        SysResult<platform::VolumeInformation> GetVolumeInformationByHandleW(platform::Handle h) override {
            return inner_.GetVolumeInformationByHandleW(h);
        }
        SysResult<std::vector<platform::DirectoryEntry>> GetFileInformationByHandleEx(platform::Handle h,
                                                                                    std::uint32_t c) override {
            return inner_.GetFileInformationByHandleEx(h, c);
        }
        SysResult<platform::AttributeTagInfo> GetFileAttributeTagInfo(platform::Handle h) override {
            return inner_.GetFileAttributeTagInfo(h);
        }
        SysResult<void> LockFileEx(platform::Handle h, std::uint32_t f, std::uint64_t o, std::uint64_t l) override {
            return inner_.LockFileEx(h, f, o, l);
        }
        SysResult<void> UnlockFileEx(platform::Handle h, std::uint64_t o, std::uint64_t l) override {
            return inner_.UnlockFileEx(h, o, l);
        }
        std::uint32_t GetDriveTypeW(const std::u16string& r) override { return inner_.GetDriveTypeW(r); }
        SysResult<std::uint32_t> QueryDosDeviceW(const std::u16string& d, std::span<char16_t> b) override {
            return inner_.QueryDosDeviceW(d, b);
        }
        SysResult<platform::Handle> NtOpenDevice(const std::u16string& n, std::uint32_t o, std::uint32_t a,
                                                 std::uint32_t s, std::uint32_t p) override {
            return inner_.NtOpenDevice(n, o, a, s, p);
        }
        SysResult<std::uint32_t> GetFileType(platform::Handle h) override { return inner_.GetFileType(h); }

    private:
        platform::Files& inner_;
    };
    GrowingFiles growing(files());
    auto result = ReadFinalPath(growing, platform::Handle{1});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().Display(), "final path changed size repeatedly");
    EXPECT_EQ(growing.calls, 8u);  // the probe and three sized calls, two units each
}

TEST_F(ObjectIdentity, FatVolumeIsRefused) {
    files().AddVolume({.root = u"E:", .serial = 0x1111, .file_system_flags = 0x2, .file_system_name = u"FAT32"});
    auto handle = OpenObjectNoFollow(platform(), "\\\\?\\E:\\", false);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(RequirePersistentAcls(platform().files, OpenObjectNoFollow(platform(), "\\\\?\\C:\\", false)->get(), ""));
    EXPECT_EQ(ErrorOf(RequirePersistentAcls(platform().files, handle->get(), "\\\\?\\E:\\")),
              "the filesystem does not provide persistent ACLs: \\\\?\\E:\\");
    FailNext("GetVolumeInformationByHandleW", 5);
    EXPECT_EQ(ErrorOf(RequirePersistentAcls(platform().files, handle->get(), "E")),
              "GetVolumeInformationByHandleW(E) failed with Win32 error 5");
}

TEST_F(ObjectIdentity, RegularFileOpensForReadingOnly) {
    File("\\\\?\\C:\\cmd.txt", "payload");
    const std::size_t before = OpenHandles();
    auto handle = OpenRegularFileForRead(platform(), "\\\\?\\C:\\cmd.txt");
    ASSERT_TRUE(handle) << handle.error().Display();
    std::byte buffer[16];
    EXPECT_EQ(platform().kernel.ReadFile(handle->get(), buffer).value(), 7u);
    // Sharing read only: nobody may write while it is open.
    auto writer = platform().files.CreateFileW(u"\\\\?\\C:\\cmd.txt", platform::file_access::kWriteData, 7, 3, 0);
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error(), SysError::Win32(win32_error::kSharingViolation));
    handle->reset();
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(ObjectIdentity, RegularFileRefusesDirectoriesLinksAndClosesOnEveryError) {
    Dir("\\\\?\\C:\\dir");
    File("\\\\?\\C:\\a");
    HardLink("\\\\?\\C:\\a", "\\\\?\\C:\\b");
    ASSERT_TRUE(files().MakeSymlink(u"\\\\?\\C:\\s", u"\\\\?\\C:\\dir", false));
    const std::size_t before = OpenHandles();
    EXPECT_EQ(ErrorOf(OpenRegularFileForRead(platform(), "\\\\?\\C:\\dir")),
              "CreateFileW(read \\\\?\\C:\\dir) failed with Win32 error 5");
    EXPECT_EQ(ErrorOf(OpenRegularFileForRead(platform(), "\\\\?\\C:\\a")),
              "hard-linked objects are not accepted in a Windows sandbox authority: \\\\?\\C:\\a");
    EXPECT_EQ(ErrorOf(OpenRegularFileForRead(platform(), "\\\\?\\C:\\s")),
              "reparse points are not accepted in a Windows sandbox authority: \\\\?\\C:\\s");
    File("\\\\?\\C:\\c");
    FailNext("GetFileInformationByHandle", 87);
    EXPECT_EQ(ErrorOf(OpenRegularFileForRead(platform(), "\\\\?\\C:\\c")),
              "GetFileInformationByHandle failed with Win32 error 87");
    FailNext("GetFinalPathNameByHandleW", 5);
    EXPECT_EQ(ErrorOf(OpenRegularFileForRead(platform(), "\\\\?\\C:\\c")),
              "GetFinalPathNameByHandleW(size) failed with Win32 error 5");
    EXPECT_EQ(OpenHandles(), before);
}

class UserPath : public ObjectIdentity {};

TEST_F(UserPath, CanonicalisesThroughTheOperatingSystem) {
    Dir("\\\\?\\C:\\Work");
    Dir("\\\\?\\C:\\Work\\Repo");
    Junction("\\\\?\\C:\\j", "\\\\?\\C:\\Work");
    EXPECT_EQ(ResolveUserPath(platform(), "root", "c:\\work\\.\\x\\..\\REPO").value().text(), "\\\\?\\C:\\Work\\Repo");
    EXPECT_EQ(ResolveUserPath(platform(), "root", "C:/j/repo/").value().text(), "\\\\?\\C:\\Work\\Repo");
    EXPECT_EQ(ResolveUserPath(platform(), "root", "\\\\?\\C:\\j").value().text(), "\\\\?\\C:\\Work");
    files().AddSubstDrive(u'S', u"\\\\?\\C:\\Work");
    EXPECT_EQ(ResolveUserPath(platform(), "cwd", "s:\\Repo").value().text(), "\\\\?\\C:\\Work\\Repo");
}

TEST_F(UserPath, RefusesInputThatIsNotAnAbsoluteDrivePath) {
    using namespace std::string_view_literals;
    EXPECT_EQ(ErrorOf(ResolveUserPath(platform(), "root", "C:\\a\0b"sv)), "root contains a NUL byte");
    for (std::string_view text : {"C:foo", "relative", "\\rooted", "\\\\server\\share\\x", "\\\\?\\UNC\\s\\h\\x",
                                  "\\\\.\\C:\\x", ""}) {
        EXPECT_EQ(ErrorOf(ResolveUserPath(platform(), "cwd", text)),
                  "cwd must be an absolute local drive path")
            << text;
    }
}

TEST_F(UserPath, ReportsWhatDoesNotResolveWithItsCause) {
    const std::size_t before = OpenHandles();
    EXPECT_EQ(ErrorOf(ResolveUserPath(platform(), "root", "C:\\missing")),
              "root does not resolve: C:\\missing: CreateFileW failed with Win32 error 2");
    Dir("\\\\?\\C:\\Work");
    FailNext("GetFinalPathNameByHandleW", 1);
    EXPECT_EQ(ErrorOf(ResolveUserPath(platform(), "root", "C:\\Work")),
              "root does not resolve: C:\\Work: GetFinalPathNameByHandleW(size) failed with Win32 error 1");
    EXPECT_EQ(OpenHandles(), before);
}

TEST_F(UserPath, RefusesPathsThatResolveToANetworkShare) {
    files().AddVolume({.root = u"UNC\\server\\share", .serial = 7, .drive_type = platform::drive_type::kRemote});
    ASSERT_TRUE(files().MakeDirectory(u"\\\\?\\UNC\\server\\share\\data"));
    ASSERT_TRUE(files().MakeSymlink(u"\\\\?\\C:\\net", u"\\\\?\\UNC\\server\\share\\data", true));
    EXPECT_EQ(ErrorOf(ResolveUserPath(platform(), "root", "C:\\net")), "root resolved outside a local drive");
}

}  // namespace
}  // namespace telvo::winutil
