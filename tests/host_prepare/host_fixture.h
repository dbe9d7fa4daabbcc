#pragma once

#include <string>
#include <vector>

#include "host_prepare/host_command.h"
#include "platform/sim/sim_token.h"
#include "windows/dacl_fixture.h"
#include "winformat/sddl.h"

namespace telvo::host_prepare::testing {

// A host as an Administrator finds it before preparing it: the system drive
// C: with C:\Users, a second fixed volume D:, the null device as it boots,
// and the caller in an elevated Administrator terminal.
class HostTest : public windows::testing::DaclTest {
protected:
    HostTest() {
        files().AddVolume({.root = u"D:", .serial = 0x5D1E0002, .device = u"\\Device\\HarddiskVolume5"});
        Elevated();
        EnableBackupPrivilege();
        Dir("C:\\Users");
        PlantDacl("C:\\", {winformat::Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x3),
                           winformat::Ace::Allowed(0x1200A9, winformat::well_known::Users(), 0x3)});
        PlantDacl("C:\\Users", {winformat::Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x3),
                                winformat::Ace::Allowed(0x1200A9, winformat::well_known::World(), 0x3)});
        PlantDacl("D:\\", {winformat::Ace::Allowed(0x1F01FF, winformat::well_known::Administrators(), 0x3)});
        // Writing a DACL the first time spreads the root's inheritable
        // entries below it, as Windows does: one prepare and remove puts the
        // host in the form every later change leaves it in.
        (void)RunHostCommand(platform(), {HostOperation::prepare, HostSelector::drive, "D:"});
        (void)RunHostCommand(platform(), {HostOperation::remove, HostSelector::drive, "D:"});
        (void)Taken();
    }

    void Elevated() {
        host.security().SetProcessToken(
            platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), true, true));
    }
    // The same Administrator in a terminal that was not elevated.
    void NotElevated() {
        host.security().SetProcessToken(
            platform::sim::SimToken::InteractiveUser(host.security().TokenUser(), true, false));
    }

    static HostCommand Command(HostOperation operation, HostSelector selector = HostSelector::none) {
        return {operation, selector, selector == HostSelector::drive ? "D:" : ""};
    }
    // Runs the command; what it wrote on standard output (taken), or its error.
    std::string Run(const HostCommand& command) {
        auto result = RunHostCommand(platform(), command);
        const std::string out = Taken();
        if (!result) return "error: " + result.error().Display() + (out.empty() ? "" : " | out: " + out);
        return out;
    }
    std::string Taken() {
        std::string all = host.stdout_pipe().Bytes();
        std::string fresh = all.substr(stdout_seen_);
        stdout_seen_ = all.size();
        return fresh;
    }

    std::string CapabilitySidText(const char16_t* name) {
        return host.platform().appcontainer.DeriveCapabilitySidsFromName(name)
            .value()
            .capability_sids.at(0)
            .value()
            .ToString();
    }
    winformat::Sid NullCapability() {
        return host.platform().appcontainer.DeriveCapabilitySidsFromName(u"Telvo.Sandbox.NullDevice.v1")
            .value()
            .capability_sids.at(0)
            .value();
    }

    // The host-wide state the commands change, as SDDL (an ACL's unused
    // room aside, byte for byte).
    std::vector<std::string> State() {
        std::vector<std::string> state;
        for (const auto& bytes : {files().SecurityDescriptorOf(u"C:\\").value(),
                                  files().SecurityDescriptorOf(u"C:\\Users").value(),
                                  files().SecurityDescriptorOf(u"D:\\").value(), files().null_device().Descriptor()}) {
            state.push_back(
                winformat::WriteSddl(winformat::SecurityDescriptor::ParseSelfRelative(bytes).value()).value());
        }
        return state;
    }

    void SetNullDevice(std::string_view sddl) {
        files().null_device().SetDescriptor(winformat::ParseSddl(sddl).value().ToSelfRelative());
    }
    std::string NullDeviceSddl() {
        return winformat::WriteSddl(
                   winformat::SecurityDescriptor::ParseSelfRelative(files().null_device().Descriptor()).value())
            .value();
    }

private:
    std::size_t stdout_seen_ = 0;
};

}  // namespace telvo::host_prepare::testing
