#include <gtest/gtest.h>

#include <vector>

#include "contract_host.h"
#include "platform/security.h"
#include "platform/unique_handle.h"
#include "winformat/acl.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {
namespace {

using namespace platform;

// The object-security calls as far as both backends can be held to them:
// Wine does not keep file DACLs reliably, so only the size-probe contract of
// NtQuerySecurityObject and the pure ACL merge of SetEntriesInAclW are checked.
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

}  // namespace
}  // namespace telvo::contract
