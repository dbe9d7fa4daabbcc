#pragma once

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <string_view>
#include <vector>

#include "identity/profile.h"
#include "windows/authority_access.h"
#include "platform/unique_handle.h"
#include "winformat/ace.h"
#include "winformat/acl.h"
#include "winutil/local_path.h"
#include "winutil/object_open.h"
#include "winformat/security_descriptor.h"
#include "winutil/sim_file_fixture.h"

namespace telvo::windows::testing {

using winformat::Ace;
using winformat::Acl;
using winformat::SecurityDescriptor;
using winformat::Sid;

inline constexpr char kProfileName[] = "Telvo.Sandbox.00112233445566778899aabbccddeeff";

// The simulated host with volume C: for the DACL engine's tests, with the
// AppContainer SID of kProfileName and helpers to plant and read DACLs.
class DaclTest : public winutil::testing::SimFileTest {
protected:
    DaclTest() : sid(identity::DeriveProfileSid(host.platform().appcontainer, kProfileName).value()) {}

    static Acl MakeAcl(std::vector<Ace> aces) { return Acl::Fitted(2, std::move(aces)).value(); }

    SecurityDescriptor DescriptorOf(std::string_view path) {
        return SecurityDescriptor::ParseSelfRelative(files().SecurityDescriptorOf(Wide(path)).value()).value();
    }
    std::vector<Ace> AcesOf(std::string_view path) {
        const auto descriptor = DescriptorOf(path);
        EXPECT_NE(descriptor.dacl.acl(), nullptr) << path;
        return descriptor.dacl.acl() == nullptr ? std::vector<Ace>{} : descriptor.dacl.acl()->aces();
    }
    // Replaces the object's DACL and DACL control bits, keeping its owner.
    void PlantDacl(std::string_view path, std::vector<Ace> aces, std::uint16_t control = 0) {
        auto descriptor = DescriptorOf(path);
        descriptor.dacl = winformat::AclSlot(MakeAcl(std::move(aces)));
        descriptor.control = control;
        ASSERT_TRUE(files().SetSecurityDescriptor(Wide(path), descriptor.ToSelfRelative())) << path;
    }
    platform::UniqueHandle Open(std::string_view path, bool write_dac = true) {
        auto handle = winutil::OpenObjectNoFollow(platform(), path, write_dac);
        EXPECT_TRUE(handle) << handle.error().Display();
        return handle ? std::move(*handle) : platform::UniqueHandle();
    }
    std::uint64_t Count(std::string_view call) { return host.faults().Count(call); }
    void FailNextNt(const std::string& call, std::uint32_t status) {
        host.faults().FailOn(call, Count(call) + 1, SysError::NtStatus(status));
    }
    // The first `read_call` on `path` after a `write_call` on it finds `aces`
    // in place of what was written: a write that did not stick, or another
    // writer in between.
    void ReplaceAfterWrite(std::string path, std::string write_call, std::string read_call, std::vector<Ace> aces) {
        auto armed = std::make_shared<int>(0);  // 0 waiting for the write, 1 for the read, 2 done
        host.security().BeforeFileSecurityCall(
            [=, this](std::string_view call, const std::u16string& at) {
                if (*armed == 2 || !winutil::PathsEqual(std::u16string_view(at), std::u16string_view(Wide(path)))) return;
                if (*armed == 0 && call == write_call) *armed = 1;
                if (*armed == 1 && call == read_call) {
                    *armed = 2;
                    PlantDacl(path, aces);
                }
            });
    }
    // Tests that plant DACLs granting the user nothing, to see what the
    // engine makes of their entries, open the objects as a backup operator
    // would: CreateFileW asks for SYNCHRONIZE and FILE_READ_ATTRIBUTES, which
    // such a DACL does not give (the owner's implicit rights are READ_CONTROL
    // and WRITE_DAC alone).
    void EnableBackupPrivilege() {
        platform::sim::SimToken token = host.security().ProcessToken();
        token.identity.enabled_privileges.insert(platform::sim::privilege::kBackup);
        host.security().SetProcessToken(std::move(token));
    }
    template <class T>
    static std::string ErrorOf(const Result<T>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }
    // The cleanup's per-object actions as walk visitors, through a handle
    // with WRITE_DAC; what they find is dropped.
    Result<void> RevokeObject(const std::u16string& path, platform::Handle handle) {
        auto found = RevokeAuthorityObject(platform(), winutil::CleanupObject{path, handle, true}, sid);
        if (!found) return std::unexpected(std::move(found.error()));
        return {};
    }
    Result<void> AbsentObject(const std::u16string& path, platform::Handle handle) {
        auto found = VerifySidAbsent(platform(), winutil::CleanupObject{path, handle, true}, sid);
        if (!found) return std::unexpected(std::move(found.error()));
        return {};
    }

    Sid sid;
    Sid other = Sid::Make(winformat::sid_authority::kNt, {21, 1, 2, 3, 1002});
};

}  // namespace telvo::windows::testing
