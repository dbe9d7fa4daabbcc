#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "contract_host.h"
#include "platform/unique_handle.h"

namespace telvo::contract {
namespace {

using namespace platform;

constexpr std::uint32_t kShareAll = file_share::kRead | file_share::kWrite | file_share::kDelete;
constexpr std::uint32_t kDirectoryFlags = file_flag::kBackupSemantics;
constexpr std::uint32_t kNoFollowFlags = file_flag::kBackupSemantics | file_flag::kOpenReparsePoint;

class FilesContract : public ::testing::Test {
protected:
    Files& files() { return host->platform().files; }

    SysResult<UniqueHandle> Open(const std::u16string& path, std::uint32_t access, std::uint32_t share,
                                 std::uint32_t flags, std::uint32_t disposition = creation_disposition::kOpenExisting) {
        auto handle = files().CreateFileW(path, access, share, disposition, flags);
        if (!handle) return std::unexpected(handle.error());
        return UniqueHandle(host->platform().kernel, *handle);
    }
    FileInformation Info(const UniqueHandle& handle) { return files().GetFileInformationByHandle(handle.get()).value(); }
    static std::uint64_t IndexOf(const FileInformation& info) {
        return (std::uint64_t{info.file_index_high} << 32) | info.file_index_low;
    }
    std::u16string FinalPath(const UniqueHandle& handle) {
        std::vector<char16_t> buffer(1024);
        const std::uint32_t length = files().GetFinalPathNameByHandleW(handle.get(), buffer, 0).value();
        return std::u16string(buffer.data(), length);
    }
    std::set<std::u16string> ListNames(const UniqueHandle& directory) {
        auto listing = files().ReOpenFile(directory.get(), file_access::kListDirectory | file_access::kSynchronize,
                                          kShareAll, kDirectoryFlags);
        EXPECT_TRUE(listing);
        UniqueHandle guard(host->platform().kernel, listing.value_or(kNullHandle));
        std::set<std::u16string> names;
        std::uint32_t information_class = file_info_class::kIdBothDirectoryRestartInfo;
        for (int call = 0; call < 100; ++call) {
            auto batch = files().GetFileInformationByHandleEx(guard.get(), information_class);
            if (!batch) {
                EXPECT_TRUE(batch.error() == SysError::Win32(win32_error::kNoMoreFiles) ||
                            batch.error() == SysError::Win32(win32_error::kFileNotFound))
                    << batch.error().code;
                break;
            }
            information_class = file_info_class::kIdBothDirectoryInfo;
            for (const auto& entry : *batch) names.insert(entry.file_name);
        }
        return names;
    }

    std::unique_ptr<ContractHost> host = MakeContractHost();
    std::u16string scratch = host->ScratchDirectory();
};

TEST_F(FilesContract, DirectoriesOpenOnlyWithBackupSemantics) {
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\d"));
    EXPECT_FALSE(Open(scratch + u"\\d", file_access::kReadControl, kShareAll, 0));
    auto handle = Open(scratch + u"\\d", file_access::kReadControl, kShareAll, kDirectoryFlags);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(Info(*handle).file_attributes & file_attribute::kDirectory);
}

TEST_F(FilesContract, ReparsePointOpensItselfOnlyWhenAsked) {
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\target"));
    if (!host->MakeJunction(scratch + u"\\j", scratch + u"\\target")) GTEST_SKIP() << "no junctions on " << host->name();
    auto target = Open(scratch + u"\\target", file_access::kReadControl, kShareAll, kDirectoryFlags);
    auto itself = Open(scratch + u"\\j", file_access::kReadControl, kShareAll, kNoFollowFlags);
    auto followed = Open(scratch + u"\\j", file_access::kReadControl, kShareAll, kDirectoryFlags);
    ASSERT_TRUE(target && itself && followed);
    const FileInformation link_info = Info(*itself);
    EXPECT_TRUE(link_info.file_attributes & file_attribute::kReparsePoint);
    EXPECT_NE(IndexOf(link_info), IndexOf(Info(*target)));
    EXPECT_EQ(FinalPath(*itself), scratch + u"\\j");
    EXPECT_FALSE(Info(*followed).file_attributes & file_attribute::kReparsePoint);
    EXPECT_EQ(IndexOf(Info(*followed)), IndexOf(Info(*target)));
    EXPECT_EQ(FinalPath(*followed), scratch + u"\\target");

    // The tag tells a name surrogate (junction, symbolic link) from a plain directory.
    const AttributeTagInfo link_tag = files().GetFileAttributeTagInfo(itself->get()).value();
    EXPECT_TRUE(link_tag.file_attributes & file_attribute::kReparsePoint);
    EXPECT_EQ(link_tag.reparse_tag, reparse_tag::kMountPoint);
    EXPECT_TRUE(link_tag.reparse_tag & reparse_tag::kNameSurrogateBit);
    const AttributeTagInfo plain = files().GetFileAttributeTagInfo(target->get()).value();
    EXPECT_TRUE(plain.file_attributes & file_attribute::kDirectory);
    EXPECT_FALSE(plain.file_attributes & file_attribute::kReparsePoint);
}

// What a child is given as its standard input: reading it ends at once.
TEST_F(FilesContract, NullDeviceReadsEndOfInputAndSwallowsWrites) {
    auto reader = Open(u"NUL", file_access::kFileGenericRead, kShareAll, 0);
    ASSERT_TRUE(reader);
    std::byte byte[4]{};
    EXPECT_EQ(host->platform().kernel.ReadFile(reader->get(), byte).value(), 0u);
    auto writer = Open(u"\\\\.\\NUL", file_access::kWriteData, kShareAll, 0);
    ASSERT_TRUE(writer);
    EXPECT_EQ(host->platform().kernel.WriteFile(writer->get(), byte).value(), 4u);
}

TEST_F(FilesContract, FinalPathIsExtendedWithTheRealCase) {
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\MixedCase"));
    ASSERT_TRUE(host->MakeFile(scratch + u"\\MixedCase\\File.TXT", "x"));
    auto handle = Open(scratch + u"\\mixedcase\\FILE.txt", file_access::kReadControl, kShareAll, 0);
    ASSERT_TRUE(handle);
    const std::u16string expected = scratch + u"\\MixedCase\\File.TXT";

    // Too small: the size needed with the terminator. Big enough: the length without it.
    std::vector<char16_t> buffer(expected.size(), u'#');
    EXPECT_EQ(files().GetFinalPathNameByHandleW(handle->get(), {}, 0).value(), expected.size() + 1);
    EXPECT_EQ(files().GetFinalPathNameByHandleW(handle->get(), buffer, 0).value(), expected.size() + 1);
    buffer.resize(expected.size() + 1);
    ASSERT_EQ(files().GetFinalPathNameByHandleW(handle->get(), buffer, 0).value(), expected.size());
    EXPECT_EQ(buffer.back(), u'\0');
    EXPECT_EQ(std::u16string(buffer.data(), expected.size()), expected);
    EXPECT_TRUE(expected.starts_with(u"\\\\?\\"));
}

TEST_F(FilesContract, FileInformationCountsHardLinks) {
    ASSERT_TRUE(host->MakeFile(scratch + u"\\f", "hello"));
    auto handle = Open(scratch + u"\\f", file_access::kReadControl, kShareAll, 0);
    ASSERT_TRUE(handle);
    const FileInformation before = Info(*handle);
    EXPECT_FALSE(before.file_attributes & file_attribute::kDirectory);
    EXPECT_EQ(before.file_size_low, 5u);
    EXPECT_EQ(before.number_of_links, 1u);
    if (!host->MakeHardLink(scratch + u"\\f", scratch + u"\\g")) GTEST_SKIP() << "no hard links on " << host->name();
    EXPECT_EQ(Info(*handle).number_of_links, 2u);
    auto other = Open(scratch + u"\\g", file_access::kReadControl, kShareAll, 0);
    ASSERT_TRUE(other);
    EXPECT_EQ(IndexOf(Info(*other)), IndexOf(before));
    EXPECT_EQ(Info(*other).volume_serial_number, before.volume_serial_number);
}

TEST_F(FilesContract, VolumeInformationMatchesTheFile) {
    auto handle = Open(scratch, file_access::kReadControl, kShareAll, kDirectoryFlags);
    ASSERT_TRUE(handle);
    auto volume = files().GetVolumeInformationByHandleW(handle->get());
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->volume_serial_number, Info(*handle).volume_serial_number);
    EXPECT_NE(volume->file_system_flags, 0u);
    EXPECT_FALSE(volume->file_system_name.empty());
}

TEST_F(FilesContract, EnumerationListsEveryNameOnce) {
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\list"));
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\list\\sub"));
    std::set<std::u16string> expected{u".", u"..", u"sub"};
    for (int i = 0; i < 40; ++i) {
        const std::u16string name = u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                    std::u16string(1, static_cast<char16_t>(u'0' + i / 26));
        ASSERT_TRUE(host->MakeFile(scratch + u"\\list\\" + name, ""));
        expected.insert(name);
    }
    auto handle = Open(scratch + u"\\list", file_access::kReadControl, file_share::kRead | file_share::kWrite,
                       kNoFollowFlags);
    ASSERT_TRUE(handle);
    EXPECT_EQ(ListNames(*handle), expected);
}

TEST_F(FilesContract, EmptyDirectoryListsOnlyDots) {
    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\empty"));
    auto handle = Open(scratch + u"\\empty", file_access::kReadControl, kShareAll, kNoFollowFlags);
    ASSERT_TRUE(handle);
    EXPECT_EQ(ListNames(*handle), (std::set<std::u16string>{u".", u".."}));
}

TEST_F(FilesContract, ShareModesConflict) {
    ASSERT_TRUE(host->MakeFile(scratch + u"\\f", "data"));
    auto reader = Open(scratch + u"\\f", file_access::kGenericRead, file_share::kRead, 0);
    ASSERT_TRUE(reader);
    auto writer = Open(scratch + u"\\f", file_access::kGenericWrite, kShareAll, 0);
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error(), SysError::Win32(win32_error::kSharingViolation));
    EXPECT_TRUE(Open(scratch + u"\\f", file_access::kGenericRead, kShareAll, 0));
}

TEST_F(FilesContract, DataOpenWithoutShareDeleteHoldsTheName) {
    ASSERT_TRUE(host->MakeFile(scratch + u"\\f", "data"));
    auto reader = Open(scratch + u"\\f", file_access::kReadData, file_share::kRead | file_share::kWrite, 0);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(host->Rename(scratch + u"\\f", scratch + u"\\g"));
    reader->reset();
    EXPECT_TRUE(host->Rename(scratch + u"\\f", scratch + u"\\g"));
}

// The kernel's share-access rule: an open without read, write, execute or
// delete access takes no part in sharing, so its share mode holds nothing.
TEST_F(FilesContract, MetadataOnlyOpenDoesNotHoldTheName) {
    ASSERT_TRUE(host->MakeFile(scratch + u"\\f", "data"));
    auto holder = Open(scratch + u"\\f", file_access::kReadControl, file_share::kRead | file_share::kWrite, kNoFollowFlags);
    ASSERT_TRUE(holder);
    EXPECT_TRUE(host->Rename(scratch + u"\\f", scratch + u"\\g"));
    // Windows reports the name the object has now; Wine keeps reporting the
    // name it was opened by, so only the simulated host is held to it here.
    if (std::string(host->name()) == "simulated") {
        EXPECT_EQ(FinalPath(*holder), scratch + u"\\g");
    }
}

TEST_F(FilesContract, ExclusiveByteLockConflictsBetweenHandles) {
    ASSERT_TRUE(host->MakeFile(scratch + u"\\lock", ""));
    const std::uint32_t access = file_access::kGenericRead | file_access::kGenericWrite;
    auto first = Open(scratch + u"\\lock", access, file_share::kRead | file_share::kWrite, 0);
    auto second = Open(scratch + u"\\lock", access, file_share::kRead | file_share::kWrite, 0);
    ASSERT_TRUE(first && second);
    const std::uint32_t flags = lock_flag::kExclusiveLock | lock_flag::kFailImmediately;
    ASSERT_TRUE(files().LockFileEx(first->get(), flags, 0, 1));
    auto conflict = files().LockFileEx(second->get(), flags, 0, 1);
    ASSERT_FALSE(conflict);
    EXPECT_EQ(conflict.error(), SysError::Win32(win32_error::kLockViolation));
    // Other bytes, even past the end of the file, are free.
    EXPECT_TRUE(files().LockFileEx(second->get(), flags, 1000, 1));
    ASSERT_TRUE(files().UnlockFileEx(first->get(), 0, 1));
    EXPECT_TRUE(files().LockFileEx(second->get(), flags, 0, 1));
    EXPECT_FALSE(files().LockFileEx(first->get(), flags, 0, 1));
    second->reset();  // closing releases its locks
    EXPECT_TRUE(files().LockFileEx(first->get(), flags, 0, 1));
}

TEST_F(FilesContract, CreationDispositions) {
    auto created = Open(scratch + u"\\new", file_access::kGenericWrite, kShareAll, 0, creation_disposition::kOpenAlways);
    ASSERT_TRUE(created);
    created->reset();
    auto again = Open(scratch + u"\\new", file_access::kGenericWrite, kShareAll, 0, creation_disposition::kCreateNew);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), SysError::Win32(win32_error::kFileExists));
    auto missing = Open(scratch + u"\\missing", file_access::kReadControl, kShareAll, 0);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), SysError::Win32(win32_error::kFileNotFound));
}

TEST_F(FilesContract, CreateDirectoryReportsExistingAndMissingParents) {
    ASSERT_TRUE(files().CreateDirectoryW(scratch + u"\\made"));
    auto handle = Open(scratch + u"\\made", file_access::kReadControl, kShareAll, kDirectoryFlags);
    ASSERT_TRUE(handle);
    EXPECT_TRUE(Info(*handle).file_attributes & file_attribute::kDirectory);
    EXPECT_EQ(files().CreateDirectoryW(scratch + u"\\made").error(), SysError::Win32(win32_error::kAlreadyExists));
    EXPECT_EQ(files().CreateDirectoryW(scratch + u"\\no\\such").error(), SysError::Win32(win32_error::kPathNotFound));
}

// A directory opened or made by its name relative to an open directory: the
// lookup starts at that handle, and a junction at the name is opened itself
// with FILE_OPEN_REPARSE_POINT, never followed.
TEST_F(FilesContract, NtCreateFileRelativeToADirectoryHandle) {
    auto parent = Open(scratch, file_access::kReadControl, kShareAll, kNoFollowFlags);
    ASSERT_TRUE(parent);
    constexpr std::uint32_t kAccess = file_access::kExecute | file_access::kReadAttributes | file_access::kSynchronize;
    constexpr std::uint32_t kOptions = nt_create_option::kDirectoryFile | nt_create_option::kSynchronousIoNonalert |
                                       nt_create_option::kOpenReparsePoint;
    const auto create = [&](const std::u16string& name, std::uint32_t disposition) {
        return files().NtCreateFile(parent->get(), name, kAccess, file_attribute::kNormal, kShareAll, disposition,
                                    kOptions);
    };
    auto made = create(u"level", nt_disposition::kOpenIf);
    ASSERT_TRUE(made) << made.error().code;
    EXPECT_EQ(made->information, nt_create_result::kCreated);
    UniqueHandle level(host->platform().kernel, made->handle);
    EXPECT_TRUE(Info(level).file_attributes & file_attribute::kDirectory);
    EXPECT_EQ(FinalPath(level), FinalPath(*parent) + u"\\level");

    auto opened = create(u"LEVEL", nt_disposition::kOpenIf);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->information, nt_create_result::kOpened);
    UniqueHandle again(host->platform().kernel, opened->handle);
    EXPECT_EQ(IndexOf(Info(again)), IndexOf(Info(level)));
    EXPECT_EQ(create(u"level", nt_disposition::kCreate).error(), SysError::NtStatus(0xC0000035));  // collision
    EXPECT_EQ(create(u"absent", nt_disposition::kOpen).error(), SysError::NtStatus(0xC0000034));   // not found
    ASSERT_TRUE(host->MakeFile(scratch + u"\\file", "x"));
    EXPECT_EQ(create(u"file", nt_disposition::kOpenIf).error(), SysError::NtStatus(0xC0000103));  // not a directory

    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\target"));
    if (!host->MakeJunction(scratch + u"\\j", scratch + u"\\target")) GTEST_SKIP() << "no junctions on " << host->name();
    auto link = create(u"j", nt_disposition::kOpenIf);
    ASSERT_TRUE(link) << link.error().code;
    UniqueHandle junction(host->platform().kernel, link->handle);
    EXPECT_EQ(link->information, nt_create_result::kOpened);
    EXPECT_TRUE(Info(junction).file_attributes & file_attribute::kReparsePoint);
}

}  // namespace
}  // namespace telvo::contract
