// Descriptors of files and directories as the calls that write and read
// them store and report them: the raw NT calls replace a DACL as given, the
// Win32 ones re-derive what is inherited and carry it to the children.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/contract_descriptors.h"
#include "contract/file_contract_fixture.h"
#include "platform/security.h"
#include "winformat/text.h"

namespace telvo::contract {
namespace {

using namespace platform;
using winformat::Ace;
namespace wk = winformat::well_known;
namespace flag = winformat::ace_flag;
namespace sd = winformat::sd_control;

// Wine neither stores a file's DACL as given (its entries and control bits
// come back changed) nor propagates SetSecurityInfo to children: these
// contracts are held on the simulated host and listed in
// docs/windows-only-checks.md for a Windows machine.
bool KeepsFileDacls(ContractHost& host) { return std::string(host.name()) == "simulated"; }

constexpr std::uint16_t kInheritanceControl = sd::kDaclAutoInheritReq | sd::kDaclAutoInherited | sd::kDaclProtected;

class FileSecurityContract : public FileContractTest {
protected:
    std::vector<std::uint8_t> AclBytes(std::vector<Ace> aces) {
        return winformat::Acl::Fitted(winformat::acl_revision::kRevision, std::move(aces))->Serialize();
    }
    // A planted object of this process's user whose DACL grants the user everything, explicitly.
    void PlantOwned(const std::u16string& path) {
        ASSERT_TRUE(host->PlantDescriptor(path, DescriptorWith(user, {Ace::Allowed(file_access::kFileAllAccess, user)})
                                                     .ToSelfRelative()));
    }
    std::optional<winformat::SecurityDescriptor> Read(const std::u16string& path) {
        auto handle = OpenPath(p(), path, file_access::kReadControl);
        EXPECT_TRUE(handle) << handle.error().code;
        if (!handle) return std::nullopt;
        return QueryDescriptor(p(), handle->get(), security_information::kDacl);
    }
};

// The DACL is stored entry for entry, in the order given, inherited flags
// kept, whatever the object held before. PROTECTED comes from the descriptor
// given; AUTO_INHERITED only when AUTO_INHERIT_REQ came with it, and the
// request itself is never stored.
TEST_F(FileSecurityContract, NtSetSecurityObjectStoresTheDaclAsGiven) {
    if (!KeepsFileDacls(*host)) GTEST_SKIP() << "Wine does not keep a file's DACL as set";
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    auto file = OpenPath(p(), path, file_access::kReadControl | file_access::kWriteDac);
    ASSERT_TRUE(file) << file.error().code;

    // Not in canonical order: an inherited entry ahead of explicit ones, an allow before a deny.
    const std::vector<Ace> aces{Ace::Allowed(file_access::kFileAllAccess, user),
                                Ace::Allowed(file_access::kFileGenericRead, wk::World(), flag::kInherited),
                                Ace::Denied(file_access::kWriteData, wk::Users()),
                                Ace::Allowed(file_access::kExecute, wk::Users())};
    struct Case {
        std::uint16_t given;
        std::uint16_t stored;
    };
    for (const Case& c : {Case{sd::kDaclAutoInheritReq | sd::kDaclAutoInherited | sd::kDaclProtected,
                               sd::kDaclAutoInherited | sd::kDaclProtected},
                          Case{sd::kDaclAutoInherited, 0}, Case{sd::kDaclAutoInheritReq, 0},
                          Case{sd::kDaclProtected, sd::kDaclProtected},
                          Case{sd::kDaclAutoInheritReq | sd::kDaclAutoInherited, sd::kDaclAutoInherited}}) {
        winformat::SecurityDescriptor given;
        given.control = c.given;
        given.dacl = winformat::AclSlot(*winformat::Acl::Fitted(winformat::acl_revision::kRevision, aces));
        ASSERT_TRUE(p().security.NtSetSecurityObject(file->get(), security_information::kDacl, given.ToSelfRelative()));
        const auto stored = QueryDescriptor(p(), file->get(), security_information::kDacl);
        ASSERT_TRUE(stored);
        EXPECT_EQ(DaclEntries(*stored), aces) << "control given " << std::hex << c.given;
        EXPECT_EQ(stored->control & kInheritanceControl, c.stored) << "control given " << std::hex << c.given;
        EXPECT_TRUE(stored->Control() & sd::kDaclPresent);
    }
}

// What GetSecurityInfo and GetKernelObjectSecurity read of a file is what
// NtQuerySecurityObject reads: owner and DACL as planted.
TEST_F(FileSecurityContract, EveryReadOfAFileDescriptorAgrees) {
    if (!KeepsFileDacls(*host)) GTEST_SKIP() << "Wine does not keep a file's DACL as set";
    ASSERT_FALSE(scratch.empty());
    const std::u16string path = scratch + u"\\f";
    ASSERT_TRUE(host->MakeFile(path, "x"));
    const std::vector<Ace> aces{Ace::Allowed(file_access::kFileAllAccess, user),
                                Ace::Allowed(file_access::kFileGenericRead, wk::AuthenticatedUsers())};
    ASSERT_TRUE(host->PlantDescriptor(path, DescriptorWith(user, aces).ToSelfRelative()));
    auto file = OpenPath(p(), path, file_access::kReadControl);
    ASSERT_TRUE(file) << file.error().code;
    const std::uint32_t parts = security_information::kOwner | security_information::kDacl;

    const auto queried = QueryDescriptor(p(), file->get(), parts);
    ASSERT_TRUE(queried);
    EXPECT_EQ(queried->owner, user);
    EXPECT_EQ(DaclEntries(*queried), aces);

    auto info = p().security.GetSecurityInfo(file->get(), se_object_type::kFileObject, parts);
    ASSERT_TRUE(info) << info.error().code;
    auto from_info = winformat::SecurityDescriptor::ParseSelfRelative(*info);
    ASSERT_TRUE(from_info) << from_info.error().Display();
    EXPECT_EQ(from_info->owner, user);
    EXPECT_EQ(DaclEntries(*from_info), aces);

    std::uint32_t needed = 0;
    auto probe = p().security.GetKernelObjectSecurity(file->get(), parts, {}, needed);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error(), SysError::Win32(win32_error::kInsufficientBuffer));
    ASSERT_GT(needed, 20u);
    std::vector<std::uint8_t> buffer(needed);
    ASSERT_TRUE(p().security.GetKernelObjectSecurity(file->get(), parts, buffer, needed));
    auto from_kernel = winformat::SecurityDescriptor::ParseSelfRelative(buffer);
    ASSERT_TRUE(from_kernel) << from_kernel.error().Display();
    EXPECT_EQ(from_kernel->owner, user);
    EXPECT_EQ(DaclEntries(*from_kernel), aces);

    // A handle without READ_CONTROL reads nothing.
    auto blind = OpenPath(p(), path, file_access::kReadAttributes);
    ASSERT_TRUE(blind) << blind.error().code;
    EXPECT_EQ(p().security.GetSecurityInfo(blind->get(), se_object_type::kFileObject, parts).error(),
              SysError::Win32(win32_error::kAccessDenied));
}

// A protected DACL is stored as given; its inheritable entries reach every
// object below as inherited copies behind their own explicit entries, and
// leave them again when the directory no longer holds them.
TEST_F(FileSecurityContract, SetSecurityInfoProtectsTheDirectoryAndPropagates) {
    if (!KeepsFileDacls(*host)) GTEST_SKIP() << "Wine does not keep a file's DACL as set";
    ASSERT_FALSE(scratch.empty());
    const std::u16string dir = scratch + u"\\tree";
    ASSERT_TRUE(host->MakeDirectory(dir));
    ASSERT_TRUE(host->MakeFile(dir + u"\\child", "x"));
    ASSERT_TRUE(host->MakeDirectory(dir + u"\\sub"));
    ASSERT_TRUE(host->MakeFile(dir + u"\\sub\\leaf", "y"));
    for (const char16_t* name : {u"\\child", u"\\sub", u"\\sub\\leaf"}) PlantOwned(dir + name);
    auto handle = OpenPath(p(), dir, file_access::kReadControl | file_access::kWriteDac);
    ASSERT_TRUE(handle) << handle.error().code;

    const Ace explicit_entry = Ace::Allowed(file_access::kFileAllAccess, user);
    const Ace inheritable = Ace::Allowed(file_access::kFileGenericRead, wk::Users(),
                                         flag::kObjectInherit | flag::kContainerInherit);
    ASSERT_TRUE(p().security.SetSecurityInfo(handle->get(), se_object_type::kFileObject,
                                             security_information::kDacl | security_information::kProtectedDacl,
                                             AclBytes({explicit_entry, inheritable})));
    const auto top = Read(dir);
    ASSERT_TRUE(top);
    EXPECT_EQ(DaclEntries(*top), (std::vector<Ace>{explicit_entry, inheritable}));
    EXPECT_TRUE(top->control & sd::kDaclProtected);

    const Ace inherited_by_file = Ace::Allowed(file_access::kFileGenericRead, wk::Users(), flag::kInherited);
    const Ace inherited_by_directory = Ace::Allowed(
        file_access::kFileGenericRead, wk::Users(), flag::kObjectInherit | flag::kContainerInherit | flag::kInherited);
    const auto child = Read(dir + u"\\child");
    const auto sub = Read(dir + u"\\sub");
    const auto leaf = Read(dir + u"\\sub\\leaf");
    ASSERT_TRUE(child && sub && leaf);
    EXPECT_EQ(DaclEntries(*child), (std::vector<Ace>{explicit_entry, inherited_by_file}));
    EXPECT_EQ(DaclEntries(*sub), (std::vector<Ace>{explicit_entry, inherited_by_directory}));
    EXPECT_EQ(DaclEntries(*leaf), (std::vector<Ace>{explicit_entry, inherited_by_file}));
    EXPECT_TRUE(child->control & sd::kDaclAutoInherited);
    EXPECT_FALSE(child->control & sd::kDaclProtected);

    ASSERT_TRUE(p().security.SetSecurityInfo(handle->get(), se_object_type::kFileObject,
                                             security_information::kDacl | security_information::kProtectedDacl,
                                             AclBytes({explicit_entry})));
    for (const char16_t* name : {u"\\child", u"\\sub", u"\\sub\\leaf"}) {
        const auto below = Read(dir + name);
        ASSERT_TRUE(below);
        EXPECT_EQ(DaclEntries(*below), std::vector<Ace>{explicit_entry}) << winformat::Utf16ToUtf8(name).value();
    }
}

// Without protection the directory's inherited part comes from its parent
// again, behind the entries given; entries marked inherited in the ACL
// given are not kept.
TEST_F(FileSecurityContract, SetSecurityInfoUnprotectedTakesThePartInheritedFromTheParent) {
    if (!KeepsFileDacls(*host)) GTEST_SKIP() << "Wine does not keep a file's DACL as set";
    ASSERT_FALSE(scratch.empty());
    const std::u16string dir = scratch + u"\\tree";
    ASSERT_TRUE(host->MakeDirectory(dir));
    const Ace from_parent = Ace::Allowed(file_access::kFileAllAccess, user,
                                         flag::kObjectInherit | flag::kContainerInherit);
    ASSERT_TRUE(host->PlantDescriptor(scratch, DescriptorWith(user, {from_parent}).ToSelfRelative()));
    PlantOwned(dir);
    auto handle = OpenPath(p(), dir, file_access::kReadControl | file_access::kWriteDac);
    ASSERT_TRUE(handle) << handle.error().code;

    const Ace given = Ace::Allowed(file_access::kFileGenericRead, wk::World());
    const Ace stale = Ace::Allowed(file_access::kFileGenericRead, wk::Users(), flag::kInherited);
    ASSERT_TRUE(p().security.SetSecurityInfo(handle->get(), se_object_type::kFileObject,
                                             security_information::kDacl | security_information::kUnprotectedDacl,
                                             AclBytes({given, stale})));
    const auto stored = Read(dir);
    ASSERT_TRUE(stored);
    const Ace inherited = Ace::Allowed(file_access::kFileAllAccess, user,
                                       flag::kObjectInherit | flag::kContainerInherit | flag::kInherited);
    EXPECT_EQ(DaclEntries(*stored), (std::vector<Ace>{given, inherited}));
    EXPECT_FALSE(stored->control & sd::kDaclProtected);
    EXPECT_TRUE(stored->control & sd::kDaclAutoInherited);
}

}  // namespace
}  // namespace telvo::contract
