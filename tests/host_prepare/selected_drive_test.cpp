#include "host_prepare/selected_drive.h"

#include <gtest/gtest.h>

#include "host_prepare/host_fixture.h"
#include "platform/file_constants.h"

namespace telvo::host_prepare {
namespace {

using testing::HostTest;
using platform::sim::SimDosDevice;
namespace drive_type = platform::drive_type;

class SelectedDrive : public HostTest {
protected:
    std::string Refusal(std::string_view drive) {
        auto mapping = ValidateSelectedDrive(files(), drive);
        return mapping ? "mapped to " + mapping->device : mapping.error().Display();
    }
    // Validates D:, opens its root as the command does, then proves the handle.
    std::string Verified() {
        auto mapping = ValidateSelectedDrive(files(), "D:");
        if (!mapping) return mapping.error().Display();
        auto root = winutil::OpenObjectNoFollow(platform(), std::string_view("\\\\?\\D:\\"), false);
        if (!root) return root.error().Display();
        auto verified = VerifyOpenedDriveRoot(files(), "D:", *mapping, root->get());
        return verified ? "verified" : verified.error().Display();
    }
};

TEST_F(SelectedDrive, AFixedVolumeMapsToItsDeviceWithTheFullBuffer) {
    host.faults().Watch("QueryDosDeviceW");
    EXPECT_EQ(Refusal("D:"), "mapped to \\Device\\HarddiskVolume5");
    EXPECT_EQ(Refusal("c:"), "mapped to \\Device\\HarddiskVolume3");
    const auto log = host.faults().Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].arguments, std::vector<std::uint64_t>{32768});
    EXPECT_EQ(Verified(), "verified");
}

TEST_F(SelectedDrive, OnlyADirectFixedVolumeIsAccepted) {
    constexpr char kNotDirect[] =
        "selected drive is not a direct volume device; SUBST and redirected paths are not supported";
    constexpr char kDirectory[] = "selected drive mapping contains a directory or redirector";
    files().AddSubstDrive(u'S', u"\\\\?\\C:\\Users");
    EXPECT_EQ(Refusal("S:"), kNotDirect);
    files().dos_devices().Add(u'R', {u"\\Device\\HarddiskVolume3\\Users", drive_type::kFixed});
    EXPECT_EQ(Refusal("R:"), kDirectory);
    files().dos_devices().Add(u'L', {u"\\Device\\LanmanRedirector\\;L:0000000000012345\\server\\share",
                                     drive_type::kFixed});
    EXPECT_EQ(Refusal("L:"), kDirectory);
    for (const std::u16string& bad :
         std::vector<std::u16string>{u"\\Device\\", u"\\Device\\..", u"\\Device\\.", u"\\Device\\a/b"}) {
        files().dos_devices().Add(u'B', {bad, drive_type::kFixed});
        EXPECT_EQ(Refusal("B:"), kDirectory);
    }
    files().dos_devices().Add(u'B', {u"\\DosDevices\\X:", drive_type::kFixed});
    EXPECT_EQ(Refusal("B:"), kNotDirect);

    // A network drive is refused by its type, before its mapping is asked for.
    const std::uint64_t queries = host.faults().Count("QueryDosDeviceW");
    files().dos_devices().Add(u'Z', {u"\\Device\\LanmanRedirector\\;Z:0000000000012345\\srv\\s", drive_type::kRemote});
    EXPECT_EQ(Refusal("Z:"), "selected drive must be an existing fixed local drive");
    for (const std::uint32_t type : {drive_type::kRemovable, drive_type::kCdRom, drive_type::kRamDisk,
                                     drive_type::kUnknown}) {
        files().dos_devices().Add(u'E', {u"\\Device\\HarddiskVolume9", type});
        EXPECT_EQ(Refusal("E:"), "selected drive must be an existing fixed local drive");
    }
    EXPECT_EQ(Refusal("Q:"), "selected drive must be an existing fixed local drive");
    EXPECT_EQ(host.faults().Count("QueryDosDeviceW"), queries);
    EXPECT_EQ(Refusal("D:\\"),
              "--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted");
}

TEST_F(SelectedDrive, QueryFailuresAndBrokenAnswersAreRefused) {
    FailNext("QueryDosDeviceW", 2);
    EXPECT_EQ(Refusal("D:"), "QueryDosDeviceW(selected drive) failed with Win32 error 2");
}

TEST_F(SelectedDrive, TheRootProofComparesIgnoringCaseAndTrailingSeparators) {
    files().dos_devices().Add(u'D', {u"\\Device\\HARDDISKvolume5", drive_type::kFixed});
    EXPECT_EQ(Verified(), "verified");
    // D: claims the system volume's device, but its root is another volume.
    files().dos_devices().Add(u'D', {u"\\Device\\HarddiskVolume3", drive_type::kFixed});
    EXPECT_EQ(Verified(), "selected drive handle does not refer to the declared volume root");
}

TEST_F(SelectedDrive, ARemappingBetweenValidationAndTheRootCheckFails) {
    host.faults().OnCall("QueryDosDeviceW", host.faults().Count("QueryDosDeviceW") + 2, [this] {
        files().dos_devices().Add(u'D', {u"\\Device\\HarddiskVolume9", drive_type::kFixed});
    });
    EXPECT_EQ(Verified(), "selected drive mapping changed while opening its root");
    FailNext("GetFinalPathNameByHandleW", 5);
    files().dos_devices().Remove(u'D');
    EXPECT_EQ(Verified(), "GetFinalPathNameByHandleW(selected drive NT path) failed with Win32 error 5");
}

TEST_F(SelectedDrive, TheHostCommandRefusesARemappedDriveBeforeChangingIt) {
    const auto before = State();
    files().AddSubstDrive(u'S', u"\\\\?\\D:\\");
    auto result = RunHostCommand(platform(), {HostOperation::prepare, HostSelector::drive, "S:"});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().Display(),
              "selected drive is not a direct volume device; SUBST and redirected paths are not supported");
    host.faults().OnCall("GetFinalPathNameByHandleW", host.faults().Count("GetFinalPathNameByHandleW") + 1, [this] {
        files().dos_devices().Add(u'D', {u"\\Device\\HarddiskVolume3", drive_type::kFixed});
    });
    result = RunHostCommand(platform(), {HostOperation::prepare, HostSelector::drive, "D:"});
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().Display().find("selected drive"), std::string::npos) << result.error().Display();
    EXPECT_EQ(State(), before);
}

}  // namespace
}  // namespace telvo::host_prepare
