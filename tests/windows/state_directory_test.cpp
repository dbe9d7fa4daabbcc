#include "windows/state_directory.h"

#include <gtest/gtest.h>

#include "dacl_fixture.h"
#include "windows/current_user_sid.h"

namespace telvo::windows {
namespace {

using namespace testing;

class StateDirectoryTest : public DaclTest {
protected:
    StateDirectoryTest() {
        Dir(kDir);
        File(kJournal);
    }
    std::string Secure() {
        const auto handle = Open(kDir);
        return ErrorOf(SecureStateDirectory(platform(), handle.get()));
    }
    static constexpr char kDir[] = "\\\\?\\C:\\TelvoSandboxState-v1";
    static constexpr char kJournal[] = "\\\\?\\C:\\TelvoSandboxState-v1\\j.json";
};

TEST_F(StateDirectoryTest, RestrictsTheDirectoryAndWhatIsInsideToItsOwner) {
    PlantDacl(kJournal, {Ace::Allowed(0x1200A9, other), Ace::Allowed(0x1F01FF, winformat::well_known::Users(), 0x10)},
              winformat::sd_control::kDaclAutoInherited);
    ASSERT_EQ(Secure(), "(succeeded)");
    const Sid& user = host.security().TokenUser();
    EXPECT_EQ(AcesOf(kDir), std::vector<Ace>{Ace::Allowed(0x1F01FF, user, 0x3)});
    EXPECT_TRUE(DescriptorOf(kDir).control & winformat::sd_control::kDaclProtected);
    // The journal keeps its explicit entry and inherits only the owner's.
    EXPECT_EQ(AcesOf(kJournal), (std::vector<Ace>{Ace::Allowed(0x1200A9, other), Ace::Allowed(0x1F01FF, user, 0x10)}));
    EXPECT_EQ(Secure(), "(succeeded)");
}

TEST_F(StateDirectoryTest, RefusesADirectoryOwnedBySomeoneElse) {
    const auto before = AcesOf(kDir);
    // Another account cannot even open it for WRITE_DAC; a handle that can
    // still finds the owner wrong.
    const auto handle = Open(kDir);
    host.security().SetTokenUser(other);
    EXPECT_FALSE(winutil::OpenObjectNoFollow(platform(), kDir, true));
    EXPECT_EQ(ErrorOf(SecureStateDirectory(platform(), handle.get())),
              "the Windows sandbox state directory is not owned by the current account");
    EXPECT_EQ(AcesOf(kDir), before);
    EXPECT_EQ(Count("SetSecurityInfo"), 0u);
}

TEST_F(StateDirectoryTest, ReportsEachFailedCall) {
    const auto fail = [&](const char* call, std::uint64_t nth) {
        host.faults().FailOn(call, Count(call) + nth, SysError::Win32(5));
        return Secure();
    };
    EXPECT_EQ(fail("OpenProcessToken", 1), "OpenProcessToken failed with Win32 error 5");
    EXPECT_EQ(fail("GetTokenInformation", 1), "GetTokenInformation returned an invalid user SID size");
    EXPECT_EQ(fail("GetTokenInformation", 2), "GetTokenInformation(TokenUser) failed with Win32 error 5");
    EXPECT_EQ(fail("GetSecurityInfo", 1), "GetSecurityInfo(owner) failed with Win32 error 5");
    EXPECT_EQ(fail("SetEntriesInAclW", 1), "SetEntriesInAclW(state directory) failed with Win32 error 5");
    EXPECT_EQ(fail("SetSecurityInfo", 1), "SetSecurityInfo(state directory) failed with Win32 error 5");
    EXPECT_EQ(fail("GetSecurityInfo", 2), "GetSecurityInfo failed with Win32 error 5");
    EXPECT_EQ(CurrentUserSid(platform()).value(), host.security().TokenUser());
}

TEST_F(StateDirectoryTest, AReadBackThatDiffersFromTheWriteFails) {
    const Sid& user = host.security().TokenUser();
    ReplaceAfterWrite(kDir, "SetSecurityInfo", "GetSecurityInfo",
                      {Ace::Allowed(0x1F01FF, user, 0x3), Ace::Allowed(0x1200A9, other)});
    EXPECT_EQ(Secure(), "the Windows sandbox state DACL is not restricted to one account");
    ReplaceAfterWrite(kDir, "SetSecurityInfo", "GetSecurityInfo", {Ace::Allowed(0x1F01FF, other, 0x3)});
    EXPECT_EQ(Secure(), "the Windows sandbox state DACL does not grant exactly its owner");
}

}  // namespace
}  // namespace telvo::windows
