// GetTokenInformation for every class the system reads, with its size probe:
// on this process's token here, and on an AppContainer child's token where
// the host can start one.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contract/contract_host.h"
#include "contract/contract_processes.h"
#include "platform/security.h"
#include "platform/sid_and_attributes.h"
#include "platform/unique_handle.h"
#include "winformat/mandatory_label.h"

namespace telvo::contract {
namespace {

using namespace platform;
using winformat::Sid;

constexpr std::uint32_t kPointer = 8;
constexpr std::uint32_t kSidAndAttributes = 16;

// The class read after its size probe; the probe's and the read's sizes must agree.
TokenInformation Query(Security& security, Handle token, std::uint32_t information_class) {
    std::uint32_t needed = 0;
    auto probe = security.GetTokenInformation(token, information_class, 0, needed);
    EXPECT_FALSE(probe) << "class " << information_class;
    if (probe) return {};
    EXPECT_EQ(probe.error(), SysError::Win32(win32_error::kInsufficientBuffer)) << "class " << information_class;
    if (needed > 1) {
        std::uint32_t short_needed = 0;
        auto short_read = security.GetTokenInformation(token, information_class, needed - 1, short_needed);
        EXPECT_FALSE(short_read) << "class " << information_class;
        EXPECT_EQ(short_needed, needed) << "class " << information_class;
    }
    std::uint32_t returned = 0;
    auto read = security.GetTokenInformation(token, information_class, needed, returned);
    EXPECT_TRUE(read) << "class " << information_class << ": " << read.error().code;
    EXPECT_EQ(returned, needed) << "class " << information_class;
    return read.value_or(TokenInformation{});
}

std::uint32_t Dword(const TokenInformation& information) {
    EXPECT_EQ(information.bytes.size(), 4u);
    if (information.bytes.size() != 4) return 0xFFFFFFFF;
    return winformat::le::Read32(information.bytes, 0);
}

Sid SidOf(const TokenInformation& information) {
    auto sid = Sid::FromBytes(information.bytes);
    EXPECT_TRUE(sid);
    return sid.value_or(Sid::Make(0, {0}));
}

class TokenContract : public ::testing::Test {
protected:
    UniqueHandle OwnToken() {
        return UniqueHandle(p().kernel, p().security.OpenProcessToken(kCurrentProcess, token_access::kQuery).value());
    }
    Platform& p() { return host->platform(); }

    std::unique_ptr<ContractHost> host = MakeContractHost();
};

TEST_F(TokenContract, TheProcessTokenAnswersEveryClass) {
    const sim::TokenIdentity identity = host->ProcessIdentity();
    UniqueHandle token = OwnToken();
    Security& security = p().security;

    std::uint32_t needed = 0;
    ASSERT_FALSE(security.GetTokenInformation(token.get(), token_information::kUser, 0, needed));
    const TokenInformation user = Query(security, token.get(), token_information::kUser);
    EXPECT_EQ(SidOf(user), identity.user);
    EXPECT_EQ(user.attributes, 0u);
    EXPECT_EQ(needed, kSidAndAttributes + identity.user.size());

    // The default owner is the user or a group the token may make owner.
    ASSERT_FALSE(security.GetTokenInformation(token.get(), token_information::kOwner, 0, needed));
    const Sid owner = SidOf(Query(security, token.get(), token_information::kOwner));
    EXPECT_EQ(needed, kPointer + owner.size());
    const bool may_own = owner == identity.user ||
                         std::ranges::any_of(identity.groups, [&](const sim::TokenGroup& group) {
                             return group.sid == owner && (group.attributes & group_attribute::kOwner) != 0;
                         });
    EXPECT_TRUE(may_own) << owner.ToString();

    ASSERT_FALSE(security.GetTokenInformation(token.get(), token_information::kIntegrityLevel, 0, needed));
    const TokenInformation label = Query(security, token.get(), token_information::kIntegrityLevel);
    EXPECT_EQ(SidOf(label), winformat::IntegrityLevelSid(identity.integrity_rid));
    EXPECT_TRUE(label.attributes & group_attribute::kIntegrity);
    EXPECT_EQ(needed, kSidAndAttributes + SidOf(label).size());

    const std::uint32_t elevated = Dword(Query(security, token.get(), token_information::kElevation));
    EXPECT_TRUE(elevated == 0 || elevated == 1) << elevated;
    EXPECT_EQ(Dword(Query(security, token.get(), token_information::kIsAppContainer)), 0u);

    // A token that is no AppContainer answers a null SID pointer.
    const TokenInformation container = Query(security, token.get(), token_information::kAppContainerSid);
    EXPECT_TRUE(container.bytes.empty());
}

TEST_F(TokenContract, TheProcessTokenIsNoLessPrivilegedAppContainer) {
    if (std::string(host->name()) == "win32") {
        GTEST_SKIP() << "Wine does not answer TokenIsLessPrivilegedAppContainer";
    }
    UniqueHandle token = OwnToken();
    EXPECT_EQ(Dword(Query(p().security, token.get(), token_information::kIsLessPrivilegedAppContainer)), 0u);
}

// A child started with SECURITY_CAPABILITIES runs on an AppContainer token:
// its package SID, low integrity, and less privileged only when it opted out
// of ALL APPLICATION PACKAGES.
TEST_F(TokenContract, AnAppContainerChildsTokenNamesItsPackage) {
    if (std::string(host->name()) == "win32") {
        GTEST_SKIP() << "Wine starts the child on the caller's token: no AppContainer";
    }
    const std::u16string cmd = CommandProcessor(p());
    const std::u16string arguments = u"exit 0";
    host->DefineCommand(CommandLine(cmd, arguments), "", 0);
    const Sid package = Sid::Make(15, {2, 101, 102, 103, 104, 105, 106, 107});
    for (const bool less_privileged : {false, true}) {
        UniqueAttributeList attributes = NewAttributeList(p().processes, 2);
        ASSERT_TRUE(p().processes.UpdateProcThreadAttribute(attributes.get(),
                                                            proc_thread_attribute::kSecurityCapabilities,
                                                            SecurityCapabilities{package, {}}));
        if (less_privileged) {
            ASSERT_TRUE(p().processes.UpdateProcThreadAttribute(
                attributes.get(), proc_thread_attribute::kAllApplicationPackagesPolicy, kAllApplicationPackagesOptOut));
        }
        auto started = StartSuspended(p(), cmd, arguments, attributes.get(), kNullHandle, false);
        ASSERT_TRUE(started) << started.error().code;
        UniqueHandle process(p().kernel, started->process);
        UniqueHandle thread(p().kernel, started->thread);
        UniqueHandle token(p().kernel, p().security.OpenProcessToken(process.get(), token_access::kQuery).value());

        EXPECT_EQ(Dword(Query(p().security, token.get(), token_information::kIsAppContainer)), 1u);
        EXPECT_EQ(SidOf(Query(p().security, token.get(), token_information::kAppContainerSid)), package);
        EXPECT_EQ(SidOf(Query(p().security, token.get(), token_information::kIntegrityLevel)),
                  winformat::IntegrityLevelSid(0x1000));
        EXPECT_EQ(Dword(Query(p().security, token.get(), token_information::kIsLessPrivilegedAppContainer)),
                  less_privileged ? 1u : 0u);
        ASSERT_TRUE(p().processes.TerminateProcess(process.get(), 1));
    }
}

}  // namespace
}  // namespace telvo::contract
