#include "host_prepare/null_device_preparation.h"

#include <gtest/gtest.h>

#include "host_prepare/host_fixture.h"
#include "support/forwarding_security.h"
#include "support/platform_with.h"
#include "winformat/mandatory_label.h"

namespace telvo::host_prepare {
namespace {

using testing::HostTest;
using winformat::Ace;
using winformat::Acl;

constexpr char kConflict[] = "conflicting null-device capability ACE; no automatic repair";

class NullDevice : public HostTest {
protected:
    void SetUp() override { cap = NullCapability().ToString(); }

    Result<NullDeviceReport> Apply(HostOperation operation) { return RunNullDeviceOperation(platform(), operation); }
    std::string ErrorOf(HostOperation operation) {
        auto result = Apply(operation);
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    std::uint64_t Writes() { return host.faults().Count("SetSecurityInfo"); }

    std::string cap;
};

TEST_F(NullDevice, TheEntryGoesBetweenExplicitAndInheritedEntriesAndNothingElseChanges) {
    SetNullDevice("O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)S:(ML;;NW;;;LW)");
    auto prepared = Apply(HostOperation::prepare);
    ASSERT_TRUE(prepared) << prepared.error().Display();
    EXPECT_TRUE(prepared->prepared);
    EXPECT_TRUE(prepared->changed);
    EXPECT_EQ(NullDeviceSddl(), "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;BA)(A;;0x12019f;;;" + cap +
                                    ")(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)S:(ML;;NW;;;LW)");
    ASSERT_TRUE(Apply(HostOperation::remove));
    EXPECT_EQ(NullDeviceSddl(),
              "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)S:(ML;;NW;;;LW)");
}

TEST_F(NullDevice, ExplicitOnlyDaclWithoutLabelGetsTheEntryLastAndKeepsForeignEntries) {
    // A foreign AppContainer entry (ALL APPLICATION PACKAGES) stays as it is.
    SetNullDevice("O:BAG:SYD:(A;;0x12019f;;;WD)(A;;0x120089;;;AC)(A;;FA;;;BA)");
    ASSERT_TRUE(Apply(HostOperation::prepare));
    EXPECT_EQ(NullDeviceSddl(),
              "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FR;;;AC)(A;;FA;;;BA)(A;;0x12019f;;;" + cap + ")");
    ASSERT_TRUE(Apply(HostOperation::remove));
    EXPECT_EQ(NullDeviceSddl(), "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FR;;;AC)(A;;FA;;;BA)");
}

TEST_F(NullDevice, EntriesForTheCapabilityThatAreNotExactlyOursAreNeverRepaired) {
    const std::string rest = "(A;;FA;;;BA)S:(ML;;NW;;;LW)";
    for (const std::string& planted :
         {"(A;;0x12019f;;;" + cap + ")(A;;0x12019f;;;" + cap + ")",  // a duplicate of our entry
          "(A;;0x120089;;;" + cap + ")",                             // another mask
          "(A;CI;0x12019f;;;" + cap + ")",                           // inheritance flags
          "(D;;0x12019f;;;" + cap + ")"}) {                          // a deny entry
        SetNullDevice("O:BAG:SYD:" + planted + rest);
        const std::string sddl = NullDeviceSddl();
        const std::uint64_t writes = Writes();
        for (HostOperation operation : {HostOperation::status, HostOperation::prepare, HostOperation::remove}) {
            EXPECT_EQ(ErrorOf(operation), kConflict) << planted;
        }
        EXPECT_EQ(Writes(), writes) << planted;
        EXPECT_EQ(NullDeviceSddl(), sddl) << planted;
    }
}

TEST_F(NullDevice, AnEntryOfAKindThatCannotBeReadIsRefusedWhenItMayNameTheCapability) {
    // A compound entry (type 4) is opaque: its body holding the capability's
    // bytes may name it; one that does not is kept byte for byte.
    const auto opaque = [](const winformat::Sid& named) {
        std::vector<std::uint8_t> body{0x9F, 0x01, 0x12, 0x00, 0x01, 0x00, 0x00, 0x00};
        body.insert(body.end(), named.bytes().begin(), named.bytes().end());
        std::vector<std::uint8_t> bytes{0x04, 0x00, static_cast<std::uint8_t>(4 + body.size()), 0x00};
        bytes.insert(bytes.end(), body.begin(), body.end());
        return Ace::Parse(bytes).value();
    };
    auto plant = [&](const winformat::Sid& named) {
        auto descriptor = winformat::ParseSddl("O:BAG:SYD:(A;;FA;;;BA)").value();
        std::vector<Ace> aces = descriptor.dacl.acl()->aces();
        aces.push_back(opaque(named));
        descriptor.dacl = winformat::AclSlot(Acl::Fitted(2, aces).value());
        files().null_device().SetDescriptor(descriptor.ToSelfRelative());
    };
    plant(NullCapability());
    const auto planted = files().null_device().Descriptor();
    EXPECT_EQ(ErrorOf(HostOperation::prepare), "unsupported DACL ACE may contain the AppContainer SID");
    EXPECT_EQ(files().null_device().Descriptor(), planted);

    plant(winformat::well_known::Users());
    const auto foreign = winformat::SecurityDescriptor::ParseSelfRelative(files().null_device().Descriptor()).value();
    ASSERT_TRUE(Apply(HostOperation::prepare));
    const auto after = winformat::SecurityDescriptor::ParseSelfRelative(files().null_device().Descriptor()).value();
    ASSERT_EQ(after.dacl.acl()->aces().size(), 3u);
    EXPECT_EQ(after.dacl.acl()->aces()[1], foreign.dacl.acl()->aces()[1]);
}

// A Security whose next GetSecurityInfo on a kernel object after a DACL write
// first lets `action` change the device: another writer in between.
class AfterWrite : public ::telvo::testing::ForwardingSecurity {
public:
    AfterWrite(platform::Security& inner, std::function<void()> action)
        : ForwardingSecurity(inner), action_(std::move(action)) {}
    SysResult<void> SetSecurityInfo(platform::Handle handle, std::uint32_t type, std::uint32_t information,
                                    std::span<const std::uint8_t> dacl) override {
        auto result = inner_.SetSecurityInfo(handle, type, information, dacl);
        armed_ = armed_ || (result && !fired_);
        return result;
    }
    SysResult<std::vector<std::uint8_t>> GetSecurityInfo(platform::Handle handle, std::uint32_t type,
                                                         std::uint32_t information) override {
        if (armed_ && !fired_) {
            fired_ = true;
            action_();
        }
        return inner_.GetSecurityInfo(handle, type, information);
    }

private:
    std::function<void()> action_;
    bool armed_ = false;
    bool fired_ = false;
};

TEST_F(NullDevice, AChangedLabelFailsTheProofAndOnlyOurEntryIsPutBack) {
    AfterWrite security(host.platform().security, [&] {
        // The label is raised under the command's feet, after its write.
        auto descriptor =
            winformat::SecurityDescriptor::ParseSelfRelative(files().null_device().Descriptor()).value();
        descriptor.sacl = winformat::AclSlot(Acl::Fitted(2, {winformat::MandatoryLabelAce(0x2000, 1)}).value());
        files().null_device().SetDescriptor(descriptor.ToSelfRelative());
    });
    platform::Platform changed = ::telvo::testing::PlatformWith(host.platform(), {.security = &security});
    auto result = RunNullDeviceOperation(changed, HostOperation::prepare);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().Display(),
              "null-device operation failed; own capability tuple rolled back: null-device readback changed more than "
              "the exact capability ACE; mandatory label is never adjusted automatically");
    // Our entry is gone again; the label someone else set is theirs to keep.
    EXPECT_EQ(NullDeviceSddl(), "O:BAG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)S:(ML;;NW;;;ME)");
}

TEST_F(NullDevice, AProtectedDaclCannotBeProvedAndIsRolledBack) {
    SetNullDevice("O:BAG:SYD:P(A;;0x12019f;;;WD)(A;;FA;;;BA)");
    auto result = Apply(HostOperation::prepare);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().Display().starts_with("null-device operation failed; own capability tuple rolled back"));
    auto status = Apply(HostOperation::status);
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->prepared);
}

TEST_F(NullDevice, AFailedWriteOfTheRollbackIsReportedWithBothCauses) {
    SetNullDevice("O:BAG:SYD:P(A;;0x12019f;;;WD)(A;;FA;;;BA)");
    host.faults().FailOn("SetSecurityInfo", Writes() + 2, SysError::Win32(5));
    EXPECT_EQ(ErrorOf(HostOperation::prepare),
              "null-device operation failed: null-device readback changed more than the exact capability ACE; "
              "mandatory label is never adjusted automatically; rollback also failed: SetSecurityInfo(null device "
              "DACL) failed with Win32 error 5; inspect host status before retrying");
}

TEST_F(NullDevice, OpensTheDeviceObjectWithItsExactAttributesAndRefusals) {
    const std::size_t handles = OpenHandles();
    host.faults().Watch("NtOpenFile");
    ASSERT_TRUE(Apply(HostOperation::status));
    ASSERT_TRUE(Apply(HostOperation::prepare));
    const auto log = host.faults().Log();
    ASSERT_EQ(log.size(), 2u);
    // access, share, options, object attributes
    EXPECT_EQ(log[0].arguments, (std::vector<std::uint64_t>{0x20000, 3, 0, 0x1040}));
    EXPECT_EQ(log[1].arguments, (std::vector<std::uint64_t>{0x60000, 3, 0, 0x1040}));

    // Administrators without WRITE_DAC on a device they do not own.
    SetNullDevice("O:SYG:SYD:(A;;0x12019f;;;WD)(A;;FA;;;SY)(A;;0x120089;;;BA)");
    EXPECT_EQ(ErrorOf(HostOperation::remove),
              "NtOpenFile(\\Device\\Null, access=0x60000) failed with NTSTATUS 0xc0000022");
    host.faults().FailOn("GetFileType", host.faults().Count("GetFileType") + 1, SysError::Win32(6));
    EXPECT_EQ(ErrorOf(HostOperation::status), "GetFileType(null device) failed with Win32 error 6");
    EXPECT_EQ(OpenHandles(), handles);
}

TEST_F(NullDevice, AnAppContainerOpensNulOnlyOnceTheCapabilityEntryIsThere) {
    platform::sim::TokenIdentity sandbox = host.security().ProcessToken().identity;
    sandbox.integrity_rid = 0x1000;
    sandbox.package = winformat::Sid::Make(15, {2, 1, 2, 3, 4, 5, 6, 7});
    sandbox.capabilities = {{NullCapability()}};
    constexpr std::uint32_t kReadWrite = 0x12019F;
    EXPECT_FALSE(files().null_device().CheckOpen(sandbox, kReadWrite));
    ASSERT_TRUE(Apply(HostOperation::prepare));
    EXPECT_TRUE(files().null_device().CheckOpen(sandbox, kReadWrite));
    sandbox.capabilities.clear();
    EXPECT_FALSE(files().null_device().CheckOpen(sandbox, kReadWrite));
}

TEST_F(NullDevice, TheRebuiltDaclIsBoundedAfterRoundingUp) {
    const winformat::Sid capability = NullCapability();
    // Entries of 20 and 24 bytes that name other SIDs, filling `total` bytes.
    auto dacl_of = [&](std::size_t total) {
        std::vector<Ace> aces;
        std::uint32_t n = 0;
        while (total % 20 != 0) {
            aces.push_back(Ace::Allowed(1, winformat::Sid::Make(5, {21, ++n})));
            total -= 24;
        }
        for (; total > 0; total -= 20) aces.push_back(Ace::Allowed(1, winformat::Sid::Make(5, {++n})));
        return Acl::Fitted(2, aces).value();
    };
    // Needed sizes 0xFFF8 fits; 0xFFFC rounds up to 0x10000, past an ACL's size.
    const Acl fits = dacl_of(0xFFF8 - capability.size() - 16);
    auto rebuilt = RebuildNullDeviceDacl(fits, capability, true);
    ASSERT_TRUE(rebuilt) << rebuilt.error().Display();
    EXPECT_EQ(rebuilt->size(), 0xFFF8);
    const Acl too_large = dacl_of(0xFFFC - capability.size() - 16);
    auto refused = RebuildNullDeviceDacl(too_large, capability, true);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().Display(), "null-device DACL is too large");
}

}  // namespace
}  // namespace telvo::host_prepare
