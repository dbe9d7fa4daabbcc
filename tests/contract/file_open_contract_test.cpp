// What an open of an existing or new file is granted: the object's DACL bit
// by bit, the owner's implicit rights, what the parent directory adds, and
// the rights CreateFileW adds to every request; then what the handle may do.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "contract/contract_descriptors.h"
#include "contract/file_contract_fixture.h"
#include "platform/security.h"

namespace telvo::contract {
namespace {

using namespace platform;
using winformat::Ace;
namespace wk = winformat::well_known;

constexpr std::uint32_t kNtAccessDenied = 0xC0000022;
constexpr std::uint32_t kEverythingButDeleteChild = file_access::kFileAllAccess & ~file_access::kDeleteChild;
constexpr std::uint32_t kEverythingButAddFile = file_access::kFileAllAccess & ~file_access::kWriteData;

// Wine's file opens check the Unix permissions of the file, never its DACL.
bool ChecksDacls(ContractHost& host) { return std::string(host.name()) == "simulated"; }

class FileOpenContract : public FileContractTest {
protected:
    // The file or directory at `path`, owned by this process's user, with a DACL of these entries for the user.
    void Plant(const std::u16string& path, std::vector<Ace> aces) {
        ASSERT_TRUE(host->PlantDescriptor(path, DescriptorWith(user, std::move(aces)).ToSelfRelative()));
    }
    void PlantUserRights(const std::u16string& path, std::uint32_t mask) { Plant(path, {Ace::Allowed(mask, user)}); }
    SysResult<UniqueHandle> Create(const std::u16string& path, std::uint32_t access, std::uint32_t disposition,
                                   std::uint32_t flags = 0) {
        return Owned(p(), p().files.CreateFileW(path, access, kShareAllFiles, disposition, flags));
    }
    SysResult<UniqueHandle> NtOpen(const std::u16string& path, std::uint32_t access) {
        // \\?\C:\... names the object \??\C:\... in the object manager.
        return Owned(p(), p().files.NtOpenFile(u"\\??\\" + path.substr(4), access, kShareAllFiles, 0));
    }
    // The delete disposition set through `handle`, which is then closed.
    void DeleteAndClose(UniqueHandle& handle) {
        EXPECT_TRUE(p().files.SetFileDispositionInfo(handle.get(), true));
        handle.reset();
    }
    bool Exists(const std::u16string& path) {
        return ErrorOf(OpenPath(p(), path, file_access::kReadAttributes)) !=
               SysError::Win32(win32_error::kFileNotFound);
    }
};

// DELETE on a file its DACL does not grant comes from FILE_DELETE_CHILD on
// its directory, and from nowhere else.
TEST_F(FileOpenContract, DeleteComesFromTheParentsDeleteChild) {
    if (!ChecksDacls(*host)) GTEST_SKIP() << "Wine grants file opens by Unix permissions, not by the DACL";
    ASSERT_FALSE(scratch.empty());
    const std::u16string dir = scratch + u"\\d";
    ASSERT_TRUE(host->MakeDirectory(dir));
    ASSERT_TRUE(host->MakeFile(dir + u"\\f", "x"));
    PlantUserRights(dir + u"\\f", file_access::kFileGenericRead);

    PlantUserRights(dir, kEverythingButDeleteChild);
    auto refused = Create(dir + u"\\f", file_access::kDelete, creation_disposition::kOpenExisting);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(win32_error::kAccessDenied));

    PlantUserRights(dir, file_access::kFileAllAccess);
    auto deleter = Create(dir + u"\\f", file_access::kDelete, creation_disposition::kOpenExisting);
    ASSERT_TRUE(deleter) << deleter.error().code;
    DeleteAndClose(*deleter);
    EXPECT_FALSE(Exists(dir + u"\\f"));
}

// Creating a file needs FILE_ADD_FILE on the directory; the creator's
// handle then has what it asked for, whatever the new file's DACL says.
TEST_F(FileOpenContract, CreatingAFileNeedsTheParentsAddFile) {
    if (!ChecksDacls(*host)) GTEST_SKIP() << "Wine grants file opens by Unix permissions, not by the DACL";
    ASSERT_FALSE(scratch.empty());
    const std::u16string dir = scratch + u"\\d";
    ASSERT_TRUE(host->MakeDirectory(dir));
    PlantUserRights(dir, kEverythingButAddFile);
    auto refused = Create(dir + u"\\new", file_access::kGenericWrite, creation_disposition::kCreateNew);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(win32_error::kAccessDenied));
    EXPECT_FALSE(Exists(dir + u"\\new"));

    PlantUserRights(dir, file_access::kFileAllAccess);
    auto created = Create(dir + u"\\new", file_access::kGenericWrite, creation_disposition::kCreateNew);
    ASSERT_TRUE(created) << created.error().code;
    const std::byte data[3]{};
    EXPECT_EQ(p().kernel.WriteFile(created->get(), data).value_or(0), 3u);
}

// MAXIMUM_ALLOWED collects every right from each source: the DACL's entries,
// the owner's READ_CONTROL and WRITE_DAC, the parent's FILE_DELETE_CHILD.
// Nothing more: writing is refused on the handle.
TEST_F(FileOpenContract, MaximumAllowedCollectsEverySourceAndNothingElse) {
    if (!ChecksDacls(*host)) GTEST_SKIP() << "Wine grants file opens by Unix permissions, not by the DACL";
    ASSERT_FALSE(scratch.empty());
    const std::u16string dir = scratch + u"\\d";
    ASSERT_TRUE(host->MakeDirectory(dir));
    ASSERT_TRUE(host->MakeFile(dir + u"\\f", "data"));
    PlantUserRights(dir + u"\\f", file_access::kReadData | file_access::kSynchronize);
    PlantUserRights(dir, file_access::kFileAllAccess);

    auto opened = Create(dir + u"\\f", file_access::kMaximumAllowed, creation_disposition::kOpenExisting);
    ASSERT_TRUE(opened) << opened.error().code;
    std::byte buffer[8]{};
    EXPECT_EQ(p().kernel.ReadFile(opened->get(), buffer).value_or(0), 4u);
    EXPECT_EQ(ErrorOf(p().kernel.WriteFile(opened->get(), buffer)),
              SysError::Win32(win32_error::kAccessDenied));
    const auto descriptor = QueryDescriptor(p(), opened->get(), security_information::kDacl);
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(p().security.NtSetSecurityObject(opened->get(), security_information::kDacl,
                                                 descriptor->ToSelfRelative()));
    DeleteAndClose(*opened);
    EXPECT_FALSE(Exists(dir + u"\\f"));
}

// CreateFileW adds SYNCHRONIZE (and FILE_READ_ATTRIBUTES) to every request:
// an owner whose object's DACL grants it nothing cannot open it through
// CreateFileW even for its implicit rights, while NtOpenFile, which adds
// nothing, opens it for them. An OWNER RIGHTS entry takes those rights away.
TEST_F(FileOpenContract, OnlyNtOpenFileReachesTheOwnersImplicitRights) {
    if (!ChecksDacls(*host)) GTEST_SKIP() << "Wine grants file opens by Unix permissions, not by the DACL";
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    Plant(path, {});
    const std::uint32_t implicit = file_access::kReadControl | file_access::kWriteDac;
    auto refused = Create(path, implicit, creation_disposition::kOpenExisting);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SysError::Win32(win32_error::kAccessDenied));

    auto opened = NtOpen(path, implicit);
    ASSERT_TRUE(opened) << std::hex << opened.error().code;
    // Through it the owner gives itself its rights back.
    const auto repaired = DescriptorWith(user, {Ace::Allowed(file_access::kFileAllAccess, user)});
    ASSERT_TRUE(p().security.NtSetSecurityObject(opened->get(), security_information::kDacl,
                                                 repaired.ToSelfRelative()));
    opened->reset();
    EXPECT_TRUE(Create(path, implicit, creation_disposition::kOpenExisting));

    Plant(path, {Ace::Allowed(0, wk::OwnerRights())});
    auto stripped = NtOpen(path, file_access::kReadControl);
    ASSERT_FALSE(stripped);
    EXPECT_EQ(stripped.error(), SysError::NtStatus(kNtAccessDenied));
}

TEST_F(FileOpenContract, NtOpenFileOpensByItsNtName) {
    ASSERT_FALSE(scratch.empty());
    ASSERT_TRUE(host->MakeFile(scratch + u"\\f", "x"));
    auto opened = NtOpen(scratch + u"\\f", file_access::kReadAttributes | file_access::kSynchronize);
    ASSERT_TRUE(opened) << std::hex << opened.error().code;
    const FileInformation info = p().files.GetFileInformationByHandle(opened->get()).value();
    EXPECT_EQ(info.file_size_low, 1u);
    auto missing = NtOpen(scratch + u"\\absent", file_access::kReadAttributes);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), SysError::NtStatus(0xC0000034));  // STATUS_OBJECT_NAME_NOT_FOUND
}

// FileBasicInfo sets attributes through a handle with FILE_WRITE_ATTRIBUTES
// and through no other.
TEST_F(FileOpenContract, BasicInfoSetsAttributesWithWriteAttributesOnly) {
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    // Wine checks neither the handle's access nor, on a write open, the read-only attribute.
    const bool checks_attributes = ChecksDacls(*host);
    auto reader = OpenPath(p(), path, file_access::kReadAttributes, 0);
    ASSERT_TRUE(reader);
    if (checks_attributes) {
        EXPECT_EQ(ErrorOf(p().files.SetFileBasicInfo(reader->get(), file_attribute::kReadOnly)),
                  SysError::Win32(win32_error::kAccessDenied));
    }

    auto writer = OpenPath(p(), path, file_access::kReadAttributes | file_access::kWriteAttributes, 0);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(p().files.SetFileBasicInfo(writer->get(), file_attribute::kReadOnly | file_attribute::kHidden));
    const std::uint32_t set = p().files.GetFileInformationByHandle(writer->get()).value().file_attributes;
    EXPECT_TRUE(set & file_attribute::kReadOnly);
    EXPECT_TRUE(set & file_attribute::kHidden);
    // A read-only file refuses a write open until the attribute is cleared.
    if (checks_attributes) {
        EXPECT_EQ(ErrorOf(OpenPath(p(), path, file_access::kWriteData, 0)),
                  SysError::Win32(win32_error::kAccessDenied));
    }
    ASSERT_TRUE(p().files.SetFileBasicInfo(writer->get(), file_attribute::kNormal));
    const std::uint32_t cleared = p().files.GetFileInformationByHandle(writer->get()).value().file_attributes;
    EXPECT_FALSE(cleared & (file_attribute::kReadOnly | file_attribute::kHidden));
    EXPECT_TRUE(OpenPath(p(), path, file_access::kWriteData, 0));
}

// FileDispositionInfo needs DELETE on the handle, deletes the file, and
// refuses a directory that holds names.
TEST_F(FileOpenContract, DispositionNeedsDeleteAndAnEmptyDirectory) {
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    auto blind = OpenPath(p(), path, file_access::kReadAttributes, 0);
    ASSERT_TRUE(blind);
    EXPECT_EQ(ErrorOf(p().files.SetFileDispositionInfo(blind->get(), true)),
              SysError::Win32(win32_error::kAccessDenied));
    blind->reset();
    auto deleter = OpenPath(p(), path, file_access::kDelete, 0);
    ASSERT_TRUE(deleter);
    DeleteAndClose(*deleter);
    EXPECT_FALSE(Exists(path));

    ASSERT_TRUE(host->MakeDirectory(scratch + u"\\d"));
    ASSERT_TRUE(host->MakeFile(scratch + u"\\d\\inside", ""));
    auto directory = OpenPath(p(), scratch + u"\\d", file_access::kDelete);
    ASSERT_TRUE(directory);
    EXPECT_EQ(ErrorOf(p().files.SetFileDispositionInfo(directory->get(), true)),
              SysError::Win32(win32_error::kDirNotEmpty));
}

// The deletion waits for the last handle to close, and can be taken back
// before that.
TEST_F(FileOpenContract, DispositionDeletesOnTheLastClose) {
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    auto deleter = OpenPath(p(), path, file_access::kDelete, 0);
    ASSERT_TRUE(deleter);
    ASSERT_TRUE(p().files.SetFileDispositionInfo(deleter->get(), true));
    ASSERT_TRUE(p().files.SetFileDispositionInfo(deleter->get(), false));
    deleter->reset();
    EXPECT_TRUE(Exists(path));

    auto other = OpenPath(p(), path, file_access::kReadAttributes, 0);
    ASSERT_TRUE(other);
    deleter = OpenPath(p(), path, file_access::kDelete, 0);
    ASSERT_TRUE(deleter);
    DeleteAndClose(*deleter);
    EXPECT_TRUE(Exists(path)) << "deleted before its last handle closed";
    // Wine opens a delete-pending object and makes names in a delete-pending
    // directory: the rest holds for Windows and the sim.
    const bool wine = std::string(host->name()) == "win32";
    if (!wine) {
        EXPECT_EQ(ErrorOf(OpenPath(p(), path, file_access::kReadAttributes, 0)),
                  SysError::Win32(win32_error::kAccessDenied));
    }
    other->reset();
    EXPECT_FALSE(Exists(path));
    if (wine) return;

    // A directory likewise, and nothing can be made in it meanwhile.
    const std::u16string dir = scratch + u"\\d";
    ASSERT_TRUE(host->MakeDirectory(dir));
    auto held = OpenPath(p(), dir, file_access::kReadAttributes);
    ASSERT_TRUE(held);
    deleter = OpenPath(p(), dir, file_access::kDelete);
    ASSERT_TRUE(deleter);
    DeleteAndClose(*deleter);
    EXPECT_NE(ErrorOf(Create(dir + u"\\new", file_access::kGenericWrite, creation_disposition::kCreateNew)),
              SysError{});
    EXPECT_TRUE(Exists(dir));
    held->reset();
    EXPECT_FALSE(Exists(dir));
}

}  // namespace
}  // namespace telvo::contract
