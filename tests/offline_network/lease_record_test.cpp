#include "offline_network/lease_record.h"

#include <gtest/gtest.h>

#include "offline_network/wfp_test_host.h"

namespace telvo::offline_network {
namespace {

using namespace testing;

struct LeaseRecordTest : ::testing::Test {
    WfpTestHost host;
    LeaseRecord record = host.Record(7);

    std::string Encoded(const LeaseRecord& changed) {
        return Message(EncodeLeaseRecord(host.platform().appcontainer, changed));
    }
};

TEST_F(LeaseRecordTest, EncodesTheNineFieldsInOrderAndDecodesToTheSameRecord) {
    auto encoded = EncodeLeaseRecord(host.platform().appcontainer, record);
    ASSERT_TRUE(encoded) << encoded.error().Display();
    EXPECT_EQ(*encoded, R"({"policyVersion":1,"profileName":")" + record.profile_name + R"(","packageSid":")" +
                            record.package_sid + R"(","ownerSid":")" + record.owner_sid +
                            R"(","callerPid":4007,"callerCreation":)" + std::to_string(record.caller_creation) +
                            R"(,"bootId":")" + record.boot_id + R"(","leaseId":")" + record.lease_id +
                            R"(","filterKeys":[")" + record.filter_keys[0] + R"(",")" + record.filter_keys[1] +
                            R"(",")" + record.filter_keys[2] + R"(",")" + record.filter_keys[3] + R"("]})");
    EXPECT_EQ(DecodeLeaseRecord(*encoded).value(), record);
}

TEST_F(LeaseRecordTest, VersionAndCallerIdentityAreRequired) {
    for (auto change : {+[](LeaseRecord& r) { r.policy_version = 2; }, +[](LeaseRecord& r) { r.caller_pid = 0; },
                        +[](LeaseRecord& r) { r.caller_creation = 0; }}) {
        LeaseRecord changed = record;
        change(changed);
        EXPECT_EQ(Encoded(changed), "invalid offline lease version/caller identity");
    }
}

TEST_F(LeaseRecordTest, ThePackageMustBeTheProfilesOwn) {
    LeaseRecord changed = record;
    changed.package_sid = host.Record(8).package_sid;
    EXPECT_EQ(Encoded(changed), "lease package does not match its Telvo profile");
    changed = record;
    changed.profile_name = "Telvo.Sandbox.xyz";
    EXPECT_EQ(Encoded(changed), "invalid Telvo AppContainer profile name");
}

TEST_F(LeaseRecordTest, StoredSidsMustBeCanonicalAndBounded) {
    EXPECT_TRUE(CheckStoredSid("S-1-5-18"));
    EXPECT_EQ(Message(CheckStoredSid("S-1")), "invalid stored SID");
    EXPECT_EQ(Message(CheckStoredSid("s-1-5-18")), "invalid stored SID");
    EXPECT_EQ(Message(CheckStoredSid("S-1-5-21-" + std::string(176, '1'))), "invalid stored SID");  // 185
    EXPECT_EQ(Message(CheckStoredSid("S-1-")), "ConvertStringSidToSidW(offline lease) failed with Win32 error 1337");
    EXPECT_EQ(Message(CheckStoredSid("S-1-5-21-" + std::string(175, '1'))),  // 184: too large to convert
              "ConvertStringSidToSidW(offline lease) failed with Win32 error 1337");
    EXPECT_EQ(Message(CheckStoredSid("S-1-5-018")), "noncanonical stored SID");

    LeaseRecord changed = record;
    changed.owner_sid = "S-1-5-018";
    EXPECT_EQ(Encoded(changed), "noncanonical stored SID");
}

TEST_F(LeaseRecordTest, FilterKeysAreFourDistinctCanonicalUuidsOutsideTheLayout) {
    const std::vector<std::string> bad{"D46C4BB0-648D-4234-8163-FAF9F795547C", "00000000-0000-0000-0000-000000000000",
                                       "d46c4bb0-648d-4234-8163-faf9f795547c", "b4eccee6-16b6-4b64-b083-15e3289d7ade",
                                       record.filter_keys[2]};
    for (const std::string& key : bad) {
        LeaseRecord changed = record;
        changed.filter_keys[1] = key;
        EXPECT_EQ(Encoded(changed), "invalid or duplicate lease filter key") << key;
    }
}

TEST_F(LeaseRecordTest, LeaseAndBootIdsAreCanonicalIdentities) {
    LeaseRecord changed = record;
    changed.lease_id = "6F1C1F1E-3D1C-4A3E-9C55-0F0E5A7D2B11";
    EXPECT_EQ(Encoded(changed), "expected a canonical lowercase UUID");
    changed = record;
    changed.boot_id = "00000000-0000-0000-0000-000000000000";
    EXPECT_EQ(Encoded(changed), "zero UUID is not an identity");
}

TEST_F(LeaseRecordTest, DecodingIsStrictAndBounded) {
    const std::string text = EncodeLeaseRecord(host.platform().appcontainer, record).value();
    // Whitespace pads the text to the limit and one byte past it.
    std::string at_limit = text + std::string(kMaxLeaseRecordBytes - text.size(), ' ');
    EXPECT_TRUE(DecodeLeaseRecord(at_limit));
    EXPECT_EQ(Message(DecodeLeaseRecord(at_limit + " ")),
              "unrecognized offline WFP lease record: offline lease exceeds provider-data limit");

    std::string three_keys = text;
    three_keys.replace(three_keys.find(",\"" + record.filter_keys[3]), record.filter_keys[3].size() + 3, "");
    EXPECT_EQ(Message(DecodeLeaseRecord(three_keys)), "unrecognized offline WFP lease record: expected exactly four filterKeys");
    for (const std::string& bad : {text + "x", text.substr(0, text.size() - 1) + R"(,"extra":1})",
                                   std::string(R"({"policyVersion":"1"})"), std::string("[]")}) {
        auto decoded = DecodeLeaseRecord(bad);
        ASSERT_FALSE(decoded) << bad;
        EXPECT_EQ(decoded.error().chain().front(), "unrecognized offline WFP lease record") << bad;
    }
}

TEST(LeaseGuid, TextAndMemoryLayoutAgree) {
    EXPECT_EQ(GuidFromText("d46c4bb0-648d-4234-8163-faf9f795547c").value(), kProviderKey);
    EXPECT_EQ(GuidText(kSublayerKey), "b4eccee6-16b6-4b64-b083-15e3289d7ade");
    EXPECT_EQ(GuidText(platform::wfp_guid::kLayerAleAuthRecvAcceptV4), "e1cd9fe7-f4b5-4273-96c0-592e487b8650");
    EXPECT_EQ(Message(GuidFromText("d46c4bb0648d-4234-8163-faf9f795547c-")), "expected a canonical lowercase UUID");
}

TEST(BootIdentity, IsTheBootIdentifierAndChangesWithEveryBoot) {
    WfpTestHost host;
    const std::string first = ReadBootIdentity(host.platform().wfp).value();
    EXPECT_EQ(first, GuidText(host.wfp().BootIdentifier()));
    host.wfp().Reboot();
    const std::string second = ReadBootIdentity(host.platform().wfp).value();
    EXPECT_NE(first, second);
    EXPECT_EQ(second, GuidText(host.wfp().BootIdentifier()));

    host.host.faults().Watch("NtQuerySystemInformation");
    (void)ReadBootIdentity(host.platform().wfp);
    EXPECT_EQ(host.host.faults().Log().back().arguments, (std::vector<std::uint64_t>{90, 32}));

    host.wfp().SetBootInformationLength(0x14);  // the form of builds before Windows 8
    EXPECT_EQ(Message(ReadBootIdentity(host.platform().wfp)), "unexpected boot environment information size");
    host.wfp().SetBootInformationLength(32);
    host.host.faults().FailOn("NtQuerySystemInformation", host.host.faults().Count("NtQuerySystemInformation") + 1,
                              SysError::NtStatus(0xC0000003));
    EXPECT_EQ(Message(ReadBootIdentity(host.platform().wfp)),
              "NtQuerySystemInformation(SystemBootEnvironmentInformation) failed with NTSTATUS 0xc0000003");
}

}  // namespace
}  // namespace telvo::offline_network
