#include <gtest/gtest.h>

#include "platform/sim/sim_host.h"
#include "platform/unique_handle.h"
#include "winformat/mandatory_label.h"
#include "winformat/security_descriptor.h"

namespace telvo::platform::sim {
namespace {

using winformat::Sid;
namespace wk = winformat::well_known;

const Sid kAlice = Sid::Make(5, {21, 7, 7, 7, 1001});
const Sid kPackage = Sid::Make(15, {2, 11, 22, 33, 44, 55, 66, 77});

class SimTokenTest : public ::testing::Test {
protected:
    Security& security() { return host.platform().security; }
    UniqueHandle Open(std::uint32_t access = token_access::kQuery | token_access::kDuplicate) {
        return UniqueHandle(host.platform().kernel, security().OpenProcessToken(kCurrentProcess, access).value());
    }
    TokenInformation Query(Handle token, std::uint32_t information_class) {
        std::uint32_t needed = 0;
        (void)security().GetTokenInformation(token, information_class, 0, needed);
        return security().GetTokenInformation(token, information_class, needed, needed).value();
    }
    UniqueHandle Impersonation(Handle primary) {
        return UniqueHandle(host.platform().kernel,
                            security()
                                .DuplicateTokenEx(primary, token_access::kQuery, impersonation_level::kIdentification,
                                                  token_type::kImpersonation)
                                .value());
    }

    SimHost host;
};

TEST_F(SimTokenTest, QueriesProbeTheirSizeAndNeedTokenQuery) {
    host.security().SetTokenUser(kAlice);
    auto token = Open();
    std::uint32_t needed = 0;
    auto probe = security().GetTokenInformation(token.get(), token_information::kUser, 0, needed);
    ASSERT_FALSE(probe);
    EXPECT_EQ(probe.error(), SysError::Win32(win32_error::kInsufficientBuffer));
    EXPECT_EQ(needed, 16 + kAlice.size());
    EXPECT_EQ(Query(token.get(), token_information::kUser).bytes, std::vector<std::uint8_t>(kAlice.bytes().begin(),
                                                                                              kAlice.bytes().end()));

    auto no_query = Open(token_access::kDuplicate);
    EXPECT_EQ(security().GetTokenInformation(no_query.get(), token_information::kUser, 64, needed).error(),
              SysError::Win32(win32_error::kAccessDenied));
}

// An elevated administrator's objects are owned by Administrators (its
// TokenOwner), not by its user; an unelevated one's by the user.
TEST_F(SimTokenTest, TokenOwnerOfTheSplitAdministratorToken) {
    host.security().SetProcessToken(SimToken::InteractiveUser(kAlice, true, true));
    auto elevated = Open();
    EXPECT_EQ(Query(elevated.get(), token_information::kOwner).bytes.size(), wk::Administrators().size());
    EXPECT_EQ(Sid::FromBytes(Query(elevated.get(), token_information::kOwner).bytes).value(), wk::Administrators());
    EXPECT_EQ(Query(elevated.get(), token_information::kElevation).bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));

    // A mutex it creates without a descriptor is owned by its TokenOwner.
    auto mutex = host.platform().sync.CreateMutexExW({}, false, u"Global\\owned", 0, 0x00120000);
    ASSERT_TRUE(mutex);
    UniqueHandle held(host.platform().kernel, mutex->handle);
    std::uint32_t needed = 0;
    (void)security().GetKernelObjectSecurity(held.get(), 1, {}, needed);
    std::vector<std::uint8_t> bytes(needed);
    ASSERT_TRUE(security().GetKernelObjectSecurity(held.get(), 1, bytes, needed));
    EXPECT_EQ(winformat::SecurityDescriptor::ParseSelfRelative(bytes)->owner, wk::Administrators());

    host.security().SetProcessToken(SimToken::InteractiveUser(kAlice, true, false));
    auto split = Open();
    EXPECT_EQ(Sid::FromBytes(Query(split.get(), token_information::kOwner).bytes).value(), kAlice);
    EXPECT_EQ(Query(split.get(), token_information::kElevation).bytes, (std::vector<std::uint8_t>{0, 0, 0, 0}));
}

// A new object inherits its parent's inheritable entries; when there are
// none, it gets its creator's default DACL.
TEST_F(SimTokenTest, NewObjectsWithoutInheritableEntriesTakeTheDefaultDacl) {
    host.security().SetTokenUser(kAlice);
    host.files().AddVolume({});
    ASSERT_TRUE(host.files().MakeDirectory(u"C:\\plain"));
    winformat::SecurityDescriptor plain =
        winformat::SecurityDescriptor::ParseSelfRelative(host.files().SecurityDescriptorOf(u"C:\\plain").value()).value();
    plain.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, {winformat::Ace::Allowed(0x001F01FF, kAlice)}).value());
    ASSERT_TRUE(host.files().SetSecurityDescriptor(u"C:\\plain", plain.ToSelfRelative()));
    ASSERT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\plain\\made"));

    const auto made =
        winformat::SecurityDescriptor::ParseSelfRelative(host.files().SecurityDescriptorOf(u"C:\\plain\\made").value()).value();
    ASSERT_NE(made.dacl.acl(), nullptr);
    EXPECT_EQ(made.dacl.acl()->aces(),
              (std::vector<winformat::Ace>{winformat::Ace::Allowed(0x001F01FF, kAlice),
                                           winformat::Ace::Allowed(0x001F01FF, wk::LocalSystem())}));
    EXPECT_EQ(made.owner, kAlice);

    // Below a parent with inheritable entries, those are what it gets.
    ASSERT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\inherits"));
    const auto inherited = winformat::SecurityDescriptor::ParseSelfRelative(
                               host.files().SecurityDescriptorOf(u"C:\\inherits").value())
                               .value();
    ASSERT_NE(inherited.dacl.acl(), nullptr);
    EXPECT_EQ(inherited.dacl.acl()->aces().size(), 4u);  // the volume root's four inheritable entries
}

// A directory created with a descriptor takes the owner it names, which the
// token must be allowed to assign, and the DACL it names as it is.
TEST_F(SimTokenTest, ADirectoryCreatedWithADescriptorTakesItsOwnerAndDacl) {
    host.files().AddVolume({});
    host.security().SetProcessToken(SimToken::InteractiveUser(kAlice, true, true));
    const auto named = [](const Sid& owner) {
        winformat::SecurityDescriptor descriptor;
        descriptor.owner = owner;
        descriptor.control = winformat::sd_control::kDaclProtected;
        descriptor.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, {winformat::Ace::Allowed(0x001F01FF, owner)}).value());
        return descriptor.ToSelfRelative();
    };
    ASSERT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\default"));
    EXPECT_EQ(winformat::SecurityDescriptor::ParseSelfRelative(host.files().SecurityDescriptorOf(u"C:\\default").value())
                  ->owner,
              wk::Administrators());
    ASSERT_TRUE(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\mine", named(kAlice)));
    const auto mine =
        winformat::SecurityDescriptor::ParseSelfRelative(host.files().SecurityDescriptorOf(u"C:\\mine").value()).value();
    EXPECT_EQ(mine.owner, kAlice);
    EXPECT_TRUE(mine.control & winformat::sd_control::kDaclProtected);
    ASSERT_NE(mine.dacl.acl(), nullptr);
    EXPECT_EQ(mine.dacl.acl()->aces(), std::vector<winformat::Ace>{winformat::Ace::Allowed(0x001F01FF, kAlice)});
    EXPECT_EQ(host.platform().files.CreateDirectoryW(u"\\\\?\\C:\\theirs", named(wk::LocalSystem())).error(),
              SysError::Win32(win32_error::kInvalidOwner));
    EXPECT_FALSE(host.files().Lookup(u"C:\\theirs"));
}

TEST_F(SimTokenTest, AppContainerTokenClasses) {
    const SimToken user = SimToken::InteractiveUser(kAlice, false, false);
    host.security().SetProcessToken(SimToken::AppContainerFrom(user, kPackage, {}, true));
    auto token = Open();
    EXPECT_EQ(Query(token.get(), token_information::kIsAppContainer).bytes, (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(Sid::FromBytes(Query(token.get(), token_information::kAppContainerSid).bytes).value(), kPackage);
    EXPECT_EQ(Query(token.get(), token_information::kIsLessPrivilegedAppContainer).bytes,
              (std::vector<std::uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(Sid::FromBytes(Query(token.get(), token_information::kIntegrityLevel).bytes).value(),
              winformat::IntegrityLevelSid(winformat::integrity_rid::kLow));

    host.security().SetProcessToken(user);
    auto plain = Open();
    EXPECT_EQ(Query(plain.get(), token_information::kIsAppContainer).bytes, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(Query(plain.get(), token_information::kAppContainerSid).bytes.empty());
}

TEST_F(SimTokenTest, AccessCheckWantsAnImpersonationTokenAndSizesThePrivilegeSet) {
    host.security().SetTokenUser(kAlice);
    winformat::SecurityDescriptor descriptor;
    descriptor.owner = kAlice;
    descriptor.group = kAlice;
    descriptor.dacl = winformat::AclSlot(winformat::Acl::Fitted(2, {winformat::Ace::Allowed(0x001200A9, kAlice)}).value());
    const auto bytes = descriptor.ToSelfRelative();

    auto primary = Open();
    std::uint32_t needed = 0;
    EXPECT_EQ(security().AccessCheck(bytes, primary.get(), 0x1, kFileGenericMapping, 20, needed).error(),
              SysError::Win32(win32_error::kNoImpersonationToken));

    auto no_duplicate = Open(token_access::kQuery);
    EXPECT_EQ(security()
                  .DuplicateTokenEx(no_duplicate.get(), token_access::kQuery, impersonation_level::kIdentification,
                                    token_type::kImpersonation)
                  .error(),
              SysError::Win32(win32_error::kAccessDenied));

    auto impersonation = Impersonation(primary.get());
    auto small = security().AccessCheck(bytes, impersonation.get(), 0x1, kFileGenericMapping, 0, needed);
    ASSERT_FALSE(small);
    EXPECT_EQ(small.error(), SysError::Win32(win32_error::kInsufficientBuffer));
    EXPECT_EQ(needed, kPrivilegeSetMinimumSize);

    auto granted = security().AccessCheck(bytes, impersonation.get(), 0x02000000, kFileGenericMapping, 20, needed);
    ASSERT_TRUE(granted);
    EXPECT_TRUE(granted->access_status);
    EXPECT_EQ(granted->granted_access, 0x001200A9u | 0x00060000u);  // with the owner's READ_CONTROL and WRITE_DAC

    auto refused = security().AccessCheck(bytes, impersonation.get(), 0x2, kFileGenericMapping, 20, needed);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->access_status);
    EXPECT_EQ(refused->granted_access, 0u);
    EXPECT_EQ(refused->error, win32_error::kAccessDenied);
}

}  // namespace
}  // namespace telvo::platform::sim
