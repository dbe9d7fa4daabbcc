#include "host_prepare/system_root_metadata.h"

#include <gtest/gtest.h>

#include "windows/dacl_fixture.h"

namespace telvo::host_prepare {
namespace {

using winformat::Ace;

class SystemRootMetadata : public windows::testing::DaclTest {
protected:
    void SetUp() override {
        // Host preparation runs elevated.
        host.security().SetProcessToken(
            platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), true, true));
        EnableBackupPrivilege();
        Dir("C:\\Users");
        // Explicit entries of an ordinary system drive root.
        PlantDacl("C:\\", {Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x3),
                           Ace::Allowed(0x1200A9, winformat::well_known::Users(), 0x3)});
        PlantDacl("C:\\Users", {Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x3),
                                Ace::Allowed(0x1200A9, winformat::well_known::World(), 0x3)});
        capability = host.platform().appcontainer.DeriveCapabilitySidsFromName(u"Telvo.Sandbox.SystemRootMetadata.v1")
                         .value()
                         .capability_sids.at(0)
                         .value();
    }

    Result<std::vector<TargetOutcome>> Apply(std::string_view operation) {
        return ApplySystemRootMetadata(platform(), operation, targets);
    }
    static std::vector<bool> Values(const std::vector<TargetOutcome>& outcomes) {
        std::vector<bool> values;
        for (const auto& outcome : outcomes) values.push_back(outcome.value);
        return values;
    }
    bool Carries(std::string_view path) {
        for (const Ace& ace : AcesOf(path)) {
            if (ace.sid() && *ace.sid() == capability) return true;
        }
        return false;
    }

    std::vector<FixedHostTarget> targets{{"systemDriveRoot", "C:\\"}, {"userProfiles", "C:\\Users"}};
    winformat::Sid capability = winformat::well_known::World();
};

TEST_F(SystemRootMetadata, PrepareReportAndRemove) {
    auto status = Apply("status");
    ASSERT_TRUE(status) << status.error().Display();
    EXPECT_EQ(Values(*status), (std::vector<bool>{false, false}));
    EXPECT_EQ((*status)[0].name, "systemDriveRoot");

    auto prepared = Apply("prepare");
    ASSERT_TRUE(prepared) << prepared.error().Display();
    EXPECT_EQ(Values(*prepared), (std::vector<bool>{true, true}));
    EXPECT_TRUE(Carries("C:\\"));
    EXPECT_TRUE(Carries("C:\\Users"));
    const auto writes = Count("NtSetSecurityObject");

    auto again = Apply("prepare");
    ASSERT_TRUE(again);
    EXPECT_EQ(Values(*again), (std::vector<bool>{false, false}));
    EXPECT_EQ(Count("NtSetSecurityObject"), writes);
    EXPECT_EQ(Values(*Apply("status")), (std::vector<bool>{true, true}));

    auto removed = Apply("remove");
    ASSERT_TRUE(removed);
    EXPECT_EQ(Values(*removed), (std::vector<bool>{true, true}));
    EXPECT_FALSE(Carries("C:\\"));
    EXPECT_EQ(Values(*Apply("status")), (std::vector<bool>{false, false}));
}

TEST_F(SystemRootMetadata, AFailureOnTheSecondTargetRestoresTheFirst) {
    // The second target's write fails.
    host.faults().FailOn("NtSetSecurityObject", 2, SysError::NtStatus(0xC0000022));
    auto prepared = Apply("prepare");
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error().Display().rfind("host preparation failed: ", 0), 0u) << prepared.error().Display();
    EXPECT_NE(prepared.error().Display().find("NTSTATUS 0xc0000022"), std::string::npos);
    EXPECT_FALSE(Carries("C:\\"));
    EXPECT_FALSE(Carries("C:\\Users"));
}

// As the nth write of a DACL begins, the read that checks it is made to fail:
// the write itself goes through.
void FailReadBackOfWrite(platform::sim::SimHost& host, std::uint64_t nth_write) {
    host.faults().OnCall("NtSetSecurityObject", nth_write, [&host] {
        // The read-back's first query fails.
        host.faults().FailOn("NtQuerySecurityObject", host.faults().Count("NtQuerySecurityObject") + 1,
                             SysError::NtStatus(0xC0000022));
    });
}

TEST_F(SystemRootMetadata, AFailedReadBackOnTheSecondTargetRestoresBoth) {
    FailReadBackOfWrite(host, 2);
    auto prepared = Apply("prepare");
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error().Display(),
              "host preparation failed: NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000022");
    EXPECT_FALSE(Carries("C:\\"));
    EXPECT_FALSE(Carries("C:\\Users"));  // its own write is undone too

    ASSERT_TRUE(Apply("prepare"));
    FailReadBackOfWrite(host, Count("NtSetSecurityObject") + 2);
    auto removed = Apply("remove");
    ASSERT_FALSE(removed);
    EXPECT_TRUE(Carries("C:\\"));
    EXPECT_TRUE(Carries("C:\\Users"));  // put back where remove took it away
}

TEST_F(SystemRootMetadata, AFailedRollbackOfTheFailingTargetIsNamed) {
    // The second target's read-back fails, and so does its own rollback write.
    FailReadBackOfWrite(host, 2);
    host.faults().FailOn("NtSetSecurityObject", 3, SysError::NtStatus(0xC0000022));
    auto prepared = Apply("prepare");
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error().Display(),
              "host preparation failed: NtQuerySecurityObject invalid size 0, NTSTATUS 0xc0000022; rollback C:\\Users "
              "failed: NtSetSecurityObject failed with NTSTATUS 0xc0000022");
    EXPECT_TRUE(Carries("C:\\Users"));  // as the error says
    EXPECT_FALSE(Carries("C:\\"));
}

TEST_F(SystemRootMetadata, AFailedRollbackIsNamed) {
    ASSERT_TRUE(Apply("prepare"));
    // Removing: the second target fails, and so does putting the first one back.
    const auto base = Count("NtSetSecurityObject");
    host.faults().FailOn("NtSetSecurityObject", base + 2, SysError::NtStatus(0xC0000022));
    host.faults().FailOn("NtSetSecurityObject", base + 3, SysError::NtStatus(0xC0000022));
    auto removed = Apply("remove");
    ASSERT_FALSE(removed);
    const std::string message = removed.error().Display();
    EXPECT_NE(message.find("; rollback C:\\ failed: "), std::string::npos) << message;
    EXPECT_FALSE(Carries("C:\\"));  // its rollback failed: the entry stays removed, as the error says
    EXPECT_TRUE(Carries("C:\\Users"));
}

TEST_F(SystemRootMetadata, AnUnchangedTargetIsNotRolledBack) {
    // The first target was prepared earlier; this command only adds the second and fails.
    ASSERT_TRUE(ApplySystemRootMetadata(platform(), "prepare", {targets[0]}));
    host.faults().FailOn("NtSetSecurityObject", Count("NtSetSecurityObject") + 1, SysError::NtStatus(0xC0000022));
    ASSERT_FALSE(Apply("prepare"));
    EXPECT_TRUE(Carries("C:\\"));
    EXPECT_FALSE(Carries("C:\\Users"));
}

TEST_F(SystemRootMetadata, Refusals) {
    EXPECT_EQ(Apply("repair").error().Display(), "unknown fixed host preparation operation");

    PlantDacl("C:\\Users", {Ace::Allowed(0x120088, capability, 0x3)});
    EXPECT_EQ(Apply("status").error().Display(), "conflicting system-root capability ACE; no permissions changed");
    auto prepared = Apply("prepare");
    ASSERT_FALSE(prepared);
    EXPECT_NE(prepared.error().Display().find("conflicting system-root capability ACE"), std::string::npos);
    EXPECT_FALSE(Carries("C:\\"));  // rolled back

    host.appcontainer().SetCapabilitySids(u"Telvo.Sandbox.SystemRootMetadata.v1", {});
    EXPECT_EQ(Apply("status").error().Display(), "system-root metadata capability must resolve to one SID");
}

TEST_F(SystemRootMetadata, ATargetReplacedByAJunctionIsNotFollowed) {
    Dir("C:\\Elsewhere");
    Junction("C:\\Profiles", "C:\\Elsewhere");
    auto status = ApplySystemRootMetadata(platform(), "prepare", {{"userProfiles", "C:\\Profiles"}});
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().Display(),
              "host preparation failed: reparse points are not accepted in a Windows sandbox authority: C:\\Profiles");
    EXPECT_FALSE(Carries("C:\\Elsewhere"));
}

}  // namespace
}  // namespace telvo::host_prepare
