#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {
namespace {

using winformat::Ace;
namespace wk = winformat::well_known;

constexpr std::uint32_t kShareAll = file_share::kRead | file_share::kWrite | file_share::kDelete;
constexpr std::uint8_t kInherit = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
const winformat::Sid kOther = winformat::Sid::Make(5, {21, 9, 9, 9, 1077});

// The calling process's own opens, creations and deletions are checked with
// its token, as NTFS checks them; the handle keeps the access granted.
class SimFileAccessTest : public ::testing::Test {
protected:
    SimFileAccessTest() {
        files().AddVolume({});
        EXPECT_TRUE(files().MakeDirectory(u"C:\\w"));
        EXPECT_TRUE(files().MakeFile(u"C:\\w\\f", "data"));
    }
    SimFiles& files() { return host.files(); }
    const winformat::Sid& user() { return host.security().TokenUser(); }
    // The object's DACL becomes `aces` (protected), owned by `owner`.
    void Plant(std::u16string_view path, std::vector<Ace> aces, const winformat::Sid& owner) {
        winformat::SecurityDescriptor descriptor;
        descriptor.owner = owner;
        descriptor.group = owner;
        descriptor.control = winformat::sd_control::kDaclProtected;
        descriptor.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, std::move(aces)).value());
        ASSERT_TRUE(files().SetSecurityDescriptor(path, descriptor.ToSelfRelative()));
    }
    SysResult<UniqueHandle> Open(std::u16string_view path, std::uint32_t access, std::uint32_t flags = 0,
                                 std::uint32_t disposition = creation_disposition::kOpenExisting) {
        auto handle = files().CreateFileW(std::u16string(path), access, kShareAll, disposition, flags);
        if (!handle) return std::unexpected(handle.error());
        return UniqueHandle(host.platform().kernel, *handle);
    }
    static SysError Denied() { return SysError::Win32(win32_error::kAccessDenied); }
    SimHost host;
};

TEST_F(SimFileAccessTest, OpensGetWhatTheDaclGrantsAndTheHandleKeepsIt) {
    Plant(u"C:\\w\\f", {Ace::Allowed(file_access::kFileGenericRead, user())}, kOther);
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kGenericWrite).error(), Denied());
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kWriteDac).error(), Denied());
    // MAXIMUM_ALLOWED gets the read rights, plus FILE_READ_ATTRIBUTES that
    // the parent's FILE_LIST_DIRECTORY gives; nothing to write with.
    auto handle = Open(u"C:\\w\\f", file_access::kMaximumAllowed);
    ASSERT_TRUE(handle);
    const std::string_view bytes = "x";
    EXPECT_EQ(host.platform().kernel.WriteFile(handle->get(), std::as_bytes(std::span(bytes))).error(), Denied());
    EXPECT_EQ(files().ReOpenFile(handle->get(), file_access::kWriteData, kShareAll, 0).error(), Denied());
    auto reopened = files().ReOpenFile(handle->get(), file_access::kReadData, kShareAll, 0);
    ASSERT_TRUE(reopened);
    UniqueHandle reopened_guard(host.platform().kernel, *reopened);

    // A denying entry for one of its groups comes first; the owner's
    // implicit rights come before any entry.
    const std::vector<Ace> deny_first{Ace::Denied(file_access::kReadControl, wk::World()),
                                      Ace::Allowed(0x1F01FF, user())};
    Plant(u"C:\\w\\f", deny_first, kOther);
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kReadControl).error(), Denied());
    EXPECT_TRUE(Open(u"C:\\w\\f", file_access::kWriteDac));
    Plant(u"C:\\w\\f", deny_first, user());
    EXPECT_TRUE(Open(u"C:\\w\\f", file_access::kReadControl));
}

TEST_F(SimFileAccessTest, TheParentTopsUpDeleteAndReadAttributes) {
    Plant(u"C:\\w\\f", {}, kOther);
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kDelete).error(), Denied());
    EXPECT_EQ(files().DeleteFileW(u"C:\\w\\f").error(), Denied());
    Plant(u"C:\\w", {Ace::Allowed(file_access::kDeleteChild | file_access::kListDirectory, user())}, kOther);
    // NtOpenFile asks for no more than that; CreateFileW adds SYNCHRONIZE,
    // which only the object's own DACL could give.
    auto opened = files().NtOpenFile(u"\\??\\C:\\w\\f", file_access::kDelete | file_access::kReadAttributes, 0x7, 0);
    ASSERT_TRUE(opened);
    (void)host.platform().kernel.CloseHandle(*opened);
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kDelete | file_access::kReadAttributes).error(), Denied());
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kReadData).error(), Denied());
    EXPECT_TRUE(files().DeleteFileW(u"C:\\w\\f"));
}

TEST_F(SimFileAccessTest, CreatingNeedsTheParentsAddRightAndGetsWhatWasAsked) {
    // A standard user may make directories at the root of the system drive, not files.
    EXPECT_EQ(Open(u"C:\\g", file_access::kGenericWrite, 0, creation_disposition::kCreateNew).error(), Denied());
    EXPECT_TRUE(files().CreateDirectoryW(u"C:\\d"));

    Plant(u"C:\\w", {Ace::Allowed(file_access::kFileGenericRead, user())}, kOther);
    EXPECT_EQ(Open(u"C:\\w\\new", file_access::kGenericWrite, 0, creation_disposition::kCreateNew).error(), Denied());
    EXPECT_EQ(files().CreateDirectoryW(u"C:\\w\\sub").error(), Denied());
    EXPECT_EQ(files().MoveFileExW(u"C:\\d", u"C:\\w\\d", 0).error(), Denied());

    // Allowed to add a file, the creator gets all it asked for, whatever the
    // new file's inherited DACL says.
    Plant(u"C:\\w",
          {Ace::Allowed(file_access::kWriteData, user()),
           Ace::Allowed(file_access::kFileGenericRead, user(), winformat::ace_flag::kObjectInherit)},
          kOther);
    auto created = Open(u"C:\\w\\new", file_access::kMaximumAllowed, 0, creation_disposition::kCreateNew);
    ASSERT_TRUE(created);
    EXPECT_EQ(files().ReOpenFile(created->get(), file_access::kWriteData, kShareAll, 0).error(), Denied());
    const std::string_view bytes = "x";
    EXPECT_TRUE(host.platform().kernel.WriteFile(created->get(), std::as_bytes(std::span(bytes))));
}

TEST_F(SimFileAccessTest, BackupSemanticsGrantOnlyWithTheEnabledPrivilege) {
    Plant(u"C:\\w\\f", {}, kOther);
    const std::uint32_t backup = file_flag::kBackupSemantics;
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kGenericRead, backup).error(), Denied());
    SimToken token = host.security().ProcessToken();
    token.identity.enabled_privileges.insert(privilege::kBackup);
    host.security().SetProcessToken(token);
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kGenericRead).error(), Denied());
    EXPECT_TRUE(Open(u"C:\\w\\f", file_access::kGenericRead, backup));
    EXPECT_EQ(Open(u"C:\\w\\f", file_access::kWriteData, backup).error(), Denied());
}

TEST_F(SimFileAccessTest, MaximumAllowedOnAReadOnlyFileLosesOnlyTheWriteBits) {
    auto made = Open(u"C:\\w\\ro", file_access::kGenericWrite, file_attribute::kReadOnly,
                     creation_disposition::kCreateNew);
    ASSERT_TRUE(made);
    EXPECT_EQ(Open(u"C:\\w\\ro", file_access::kWriteData).error(), Denied());
    auto handle = Open(u"C:\\w\\ro", file_access::kMaximumAllowed);
    ASSERT_TRUE(handle);
    const std::string_view bytes = "x";
    EXPECT_EQ(host.platform().kernel.WriteFile(handle->get(), std::as_bytes(std::span(bytes))).error(), Denied());
    EXPECT_TRUE(files().ReOpenFile(handle->get(), file_access::kWriteDac, kShareAll, 0));
}

}  // namespace
}  // namespace telvo::platform::sim
