#include "main/command_line.h"

#include <gtest/gtest.h>

namespace telvo::app {
namespace {

using host_prepare::HostCommand;
using host_prepare::HostOperation;
using host_prepare::HostSelector;

std::string Refusal(std::vector<std::u16string> arguments) {
    auto mode = ParseCommandLine(arguments);
    EXPECT_FALSE(mode);
    return mode ? std::string() : mode.error().Display();
}

HostCommand Host(std::vector<std::u16string> arguments) {
    auto mode = ParseCommandLine(arguments);
    EXPECT_TRUE(mode && std::holds_alternative<HostCommand>(*mode));
    return mode && std::holds_alternative<HostCommand>(*mode) ? std::get<HostCommand>(*mode) : HostCommand{};
}

constexpr const char* kOperationWords = "expected host-status, host-prepare, or host-remove";
constexpr const char* kSelectorWords = "only --drive D:, --null-device, or --network is accepted; no paths or commands";
constexpr const char* kOneSelector =
    "host preparation accepts only one selector: --drive D:, --null-device, or --network";
constexpr const char* kDriveForm =
    "--drive accepts exactly one drive letter and colon, for example D:; paths are not accepted";

TEST(CommandLine, ChoosesControllerAndServiceModes) {
    auto controller = ParseCommandLine({});
    ASSERT_TRUE(controller);
    EXPECT_TRUE(std::holds_alternative<ControllerMode>(*controller));
    auto service = ParseCommandLine({u"--network-service"});
    ASSERT_TRUE(service);
    EXPECT_TRUE(std::holds_alternative<ServiceMode>(*service));
    EXPECT_EQ(Refusal({u"--network-service", u"x"}), kOperationWords);
    EXPECT_EQ(Refusal({u"--NETWORK-SERVICE"}), kOperationWords);
}

TEST(CommandLine, HostOperationsAndSelectors) {
    EXPECT_EQ(Host({u"host-status"}).operation, HostOperation::status);
    EXPECT_EQ(Host({u"host-status"}).selector, HostSelector::none);
    EXPECT_EQ(Host({u"host-prepare", u"--network"}).selector, HostSelector::network);
    EXPECT_EQ(Host({u"host-prepare", u"--network"}).operation, HostOperation::prepare);
    EXPECT_EQ(Host({u"host-remove", u"--null-device"}).selector, HostSelector::null_device);
    EXPECT_EQ(Host({u"host-remove", u"--null-device"}).operation, HostOperation::remove);
    const HostCommand drive = Host({u"host-status", u"--drive", u"d:"});
    EXPECT_EQ(drive.selector, HostSelector::drive);
    EXPECT_EQ(drive.drive, "D:");
    EXPECT_EQ(Host({u"host-status", u"--drive", u"Z:"}).drive, "Z:");
}

TEST(CommandLine, RefusalsInArgumentOrder) {
    EXPECT_EQ(Refusal({u"HOST-STATUS"}), kOperationWords);
    EXPECT_EQ(Refusal({u"host-status", u"C:\\path"}), kSelectorWords);
    EXPECT_EQ(Refusal({u"host-status", u"--network", u"--null-device"}), kOneSelector);
    EXPECT_EQ(Refusal({u"host-status", u"--drive"}), "--drive requires one drive letter");
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"D:\\"}), kDriveForm);
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"DD"}), kDriveForm);
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"1:"}), kDriveForm);
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"Ä:"}), kDriveForm);
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"D:", u"extra"}), kOneSelector);
    // The operation word is checked before anything after it.
    EXPECT_EQ(Refusal({u"status", u"--drive"}), kOperationWords);
    // The drive value is checked before the argument count.
    EXPECT_EQ(Refusal({u"host-status", u"--drive", u"DD", u"extra"}), kDriveForm);
}

TEST(CommandLine, ArgumentsThatAreNotUnicode) {
    const std::u16string lone{0xD800};
    EXPECT_EQ(Refusal({lone}), kOperationWords);
    EXPECT_EQ(Refusal({u"host-status", lone}), kSelectorWords);
    EXPECT_EQ(Refusal({u"host-status", u"--drive", std::u16string{u'D', 0xDC00}}), "--drive must be ASCII");
}

}  // namespace
}  // namespace telvo::app
