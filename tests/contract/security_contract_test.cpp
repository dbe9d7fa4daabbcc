#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract_host.h"
#include "platform/security.h"
#include "platform/unique_handle.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {
namespace {

using namespace platform;

// The object-security calls that need no file of a given DACL: the
// size-probe contract of NtQuerySecurityObject, held on both hosts, and the
// ACL merge of SetEntriesInAclW: granting into a null ACL on both hosts,
// merging into an ACL that holds entries on the simulated host only. What
// the descriptor calls store on files and what opens are granted are held
// in file_security_contract_test.cpp and file_open_contract_test.cpp.
class SecurityContract : public ::testing::Test {
protected:
    std::unique_ptr<ContractHost> host = MakeContractHost();
    std::u16string scratch = host->ScratchDirectory();
};

TEST_F(SecurityContract, NtQuerySecurityObjectReportsTheSizeItNeeds) {
    ASSERT_FALSE(scratch.empty());
    auto opened = host->platform().files.CreateFileW(scratch, file_access::kReadControl, 0x3,
                                                      creation_disposition::kOpenExisting, 0x02200000);
    ASSERT_TRUE(opened);
    const UniqueHandle handle(host->platform().kernel, *opened);
    Security& security = host->platform().security;
    std::uint32_t needed = 0;
    auto probe = security.NtQuerySecurityObject(handle.get(), security_information::kDacl, {}, needed);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error(), SysError::NtStatus(ntstatus::kBufferTooSmall));
    ASSERT_GE(needed, 20u);
    std::vector<std::uint8_t> buffer(needed);
    auto read = security.NtQuerySecurityObject(handle.get(), security_information::kDacl, buffer, needed);
    ASSERT_TRUE(read) << std::hex << read.error().code;
    EXPECT_TRUE(winformat::SecurityDescriptor::ParseSelfRelative(buffer));
}

TEST_F(SecurityContract, SetEntriesInAclGrantsIntoANullAcl) {
    const winformat::Sid sid = winformat::Sid::Make(15, {2, 1, 2, 3, 4, 5, 6, 7});
    const std::vector<ExplicitAccess> entries{
        {0x1200A9, access_mode::kGrant, 0x3, Trustee{trustee_form::kIsSid, trustee_type::kUnknown, sid}}};
    auto bytes = host->platform().security.SetEntriesInAclW(entries, {});
    ASSERT_TRUE(bytes) << bytes.error().code;
    auto acl = winformat::Acl::Parse(*bytes);
    ASSERT_TRUE(acl) << acl.error().Display();
    EXPECT_EQ(acl->aces(), std::vector<winformat::Ace>{winformat::Ace::Allowed(0x1200A9, sid, 0x3)});
}

// Merging into an ACL that holds entries: GRANT adds an allow entry and
// keeps the trustee's deny, SET drops every explicit entry of its trustee
// first, and inherited entries stay as they are, at the end. Where the new
// entries go differs: Windows documents them after the explicit denies,
// before the first allow; Wine merges otherwise. Held on the simulated host
// only (see docs/windows-only-checks.md).
TEST_F(SecurityContract, SetEntriesInAclMergesIntoAnExistingAcl) {
    if (std::string(host->name()) == "win32") GTEST_SKIP() << "Wine merges into an existing ACL otherwise";
    using winformat::Ace;
    const winformat::Sid denied = winformat::Sid::Make(5, {21, 7, 7, 7, 1001});
    const winformat::Sid kept = winformat::Sid::Make(5, {21, 7, 7, 7, 1002});
    const winformat::Sid replaced = winformat::Sid::Make(5, {21, 7, 7, 7, 1003});
    const winformat::Sid inherited = winformat::Sid::Make(5, {21, 7, 7, 7, 1004});
    const std::vector<Ace> old_aces{Ace::Denied(0x2, denied), Ace::Allowed(0x1200A9, kept),
                                    Ace::Allowed(0x1200A9, replaced), Ace::Denied(0x4, replaced),
                                    Ace::Allowed(0x1F01FF, inherited, winformat::ace_flag::kInherited)};
    const auto old_acl = winformat::Acl::Fitted(winformat::acl_revision::kRevision, old_aces)->Serialize();
    const auto entry = [](std::uint32_t mask, std::uint32_t mode, const winformat::Sid& sid) {
        return ExplicitAccess{mask, mode, 0, Trustee{trustee_form::kIsSid, trustee_type::kUnknown, sid}};
    };
    const std::vector<ExplicitAccess> entries{entry(0x1301BF, access_mode::kGrant, denied),
                                              entry(0x1200A0, access_mode::kSet, replaced)};
    auto bytes = host->platform().security.SetEntriesInAclW(entries, old_acl);
    ASSERT_TRUE(bytes) << bytes.error().code;
    auto acl = winformat::Acl::Parse(*bytes);
    ASSERT_TRUE(acl) << acl.error().Display();
    const std::vector<Ace> windows_order{Ace::Denied(0x2, denied), Ace::Allowed(0x1301BF, denied),
                                         Ace::Allowed(0x1200A0, replaced), Ace::Allowed(0x1200A9, kept),
                                         Ace::Allowed(0x1F01FF, inherited, winformat::ace_flag::kInherited)};
    EXPECT_EQ(acl->aces(), windows_order);
}

}  // namespace
}  // namespace telvo::contract
