#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/forwarding_security.h"
#include "support/platform_with.h"
#include "identity/capability_set.h"
#include "platform/sim/sim_null_device.h"
#include "process/child_environment.h"
#include "process/sandbox_job.h"
#include "process/sandbox_launch.h"
#include "windows/authority_access.h"
#include "windows/dacl_fixture.h"
#include "windows/journal.h"
#include "winutil/walk_tree.h"
#include "support/local_path_of.h"

namespace telvo::process::testing {

using windows::testing::Ace;
using windows::testing::Sid;

// The processes seam as the launch uses it, every call forwarded to the
// simulated host: it keeps the values of each attribute put in a list and
// the parameters of each CreateProcessW, as the launch passed them.
class RecordingProcesses final : public platform::Processes {
public:
    explicit RecordingProcesses(platform::Processes& inner) : inner_(inner) {}

    std::vector<std::pair<std::uint32_t, platform::ProcThreadAttributeValue>> attributes;
    std::vector<platform::CreateProcessParameters> creations;

    SysResult<platform::Handle> CreateJobObjectW() override { return inner_.CreateJobObjectW(); }
    SysResult<void> SetInformationJobObject(platform::Handle job, std::uint32_t c,
                                            std::span<const std::uint8_t> i) override {
        return inner_.SetInformationJobObject(job, c, i);
    }
    SysResult<std::uint32_t> QueryInformationJobObject(platform::Handle job, std::uint32_t c,
                                                       std::span<std::uint8_t> b) override {
        return inner_.QueryInformationJobObject(job, c, b);
    }
    SysResult<void> TerminateJobObject(platform::Handle job, std::uint32_t code) override {
        return inner_.TerminateJobObject(job, code);
    }
    SysResult<platform::Handle> CreateThread(std::function<void()> start) override {
        return inner_.CreateThread(std::move(start));
    }
    SysResult<void> SetThreadDescription(platform::Handle t, const std::u16string& d) override {
        return inner_.SetThreadDescription(t, d);
    }
    SysResult<platform::AttributeList> InitializeProcThreadAttributeList(std::uint32_t count, std::size_t size,
                                                                       std::size_t& needed) override {
        return inner_.InitializeProcThreadAttributeList(count, size, needed);
    }
    SysResult<void> UpdateProcThreadAttribute(platform::AttributeList list, std::uint32_t attribute,
                                              const platform::ProcThreadAttributeValue& value) override {
        auto updated = inner_.UpdateProcThreadAttribute(list, attribute, value);
        if (updated) attributes.emplace_back(attribute, value);
        return updated;
    }
    void DeleteProcThreadAttributeList(platform::AttributeList list) override {
        inner_.DeleteProcThreadAttributeList(list);
    }
    SysResult<platform::ProcessInformation> CreateProcessW(const platform::CreateProcessParameters& p) override {
        creations.push_back(p);
        return inner_.CreateProcessW(p);
    }
    SysResult<std::uint32_t> ResumeThread(platform::Handle t) override { return inner_.ResumeThread(t); }
    SysResult<std::uint32_t> GetExitCodeProcess(platform::Handle p) override { return inner_.GetExitCodeProcess(p); }
    SysResult<void> TerminateProcess(platform::Handle p, std::uint32_t c) override {
        return inner_.TerminateProcess(p, c);
    }
    SysResult<std::uint32_t> GetProcessId(platform::Handle p) override { return inner_.GetProcessId(p); }
    SysResult<std::u16string> QueryFullProcessImageNameW(platform::Handle p) override {
        return inner_.QueryFullProcessImageNameW(p);
    }
    std::uint32_t GetCurrentProcessId() override { return inner_.GetCurrentProcessId(); }
    SysResult<platform::Handle> OpenProcess(std::uint32_t access, std::uint32_t id) override {
        return inner_.OpenProcess(access, id);
    }
    SysResult<platform::Handle> DuplicateHandle(platform::Handle process, platform::Handle source,
                                                std::uint32_t access, std::uint32_t options) override {
        return inner_.DuplicateHandle(process, source, access, options);
    }
    SysResult<platform::ProcessTimes> GetProcessTimes(platform::Handle p) override { return inner_.GetProcessTimes(p); }
    SysResult<bool> IsProcessInJob(platform::Handle p, platform::Handle j) override {
        return inner_.IsProcessInJob(p, j);
    }
    SysResult<std::uint32_t> GetHandleInformation(platform::Handle h) override {
        return inner_.GetHandleInformation(h);
    }
    SysResult<void> SetHandleInformation(platform::Handle h, std::uint32_t m, std::uint32_t f) override {
        return inner_.SetHandleInformation(h, m, f);
    }

private:
    platform::Processes& inner_;
};

// The security seam forwarded to the simulated host, but for the token
// information a test rewrites: what Windows would answer for a child whose
// token is not what the launch asked for.
class TokenAnswers final : public telvo::testing::ForwardingSecurity {
public:
    using Rewrite = std::function<void(std::uint32_t information_class, SysResult<platform::TokenInformation>& answer,
                                       std::uint32_t& return_length)>;
    using ForwardingSecurity::ForwardingSecurity;

    Rewrite rewrite;

    SysResult<platform::TokenInformation> GetTokenInformation(platform::Handle t, std::uint32_t c, std::uint32_t l,
                                                              std::uint32_t& r) override {
        auto answer = inner_.GetTokenInformation(t, c, l, r);
        if (rewrite) rewrite(c, answer, r);
        return answer;
    }
};

inline constexpr std::uint8_t kInherit = winformat::ace_flag::kObjectInherit | winformat::ace_flag::kContainerInherit;
inline const Sid kUser = Sid::Make(winformat::sid_authority::kNt, {21, 5, 6, 7, 1001});
inline constexpr char kHome[] = "C:\\Users\\tester\\AppData\\Local\\Packages\\Telvo.Sandbox.x\\AC";
inline constexpr char16_t kProcessor[] = u"C:\\Windows\\System32\\cmd.exe";

// A host ready for one launch: cmd.exe in the system directory, a workspace
// C:\work\ws granted for the profile's SID, the host preparation done on the
// system drive, the journal written and the job made. The launch sees the
// seam through the recording processes and the token answers.
class LaunchTest : public windows::testing::DaclTest {
protected:
    LaunchTest()
        : processes(host.processes()), security(host.security()),
          seam(telvo::testing::PlatformWith(host.platform(), {.security = &security, .processes = &processes})) {
        host.security().SetTokenUser(kUser);
        capabilities = identity::CapabilitySet::Resolve(host.platform().appcontainer).value();
        // The host preparation lets the metadata capability read the system drive.
        PlantDacl("C:\\", {Ace::Allowed(0x001F01FF, winformat::well_known::Administrators(), kInherit),
                           Ace::Allowed(0x001F01FF, kUser, kInherit),
                           Ace::Allowed(0x00120088, capabilities.sids()[2])});
        Dir("C:\\Windows");
        Dir("C:\\Windows\\System32");
        File("C:\\Windows\\System32\\cmd.exe");
        Dir("C:\\work");
        Dir("C:\\work\\ws");
        File("C:\\work\\ws\\a.txt");
        Dir("C:\\state");
        authorities = {windows::AuthorityAccess{telvo::testing::PathOf("\\\\?\\C:\\work\\ws"), true, {}}};
        Grant(authorities[0]);
        journal = windows::CreateJournal(host.platform(), "\\\\?\\C:\\state", windows::testing::kProfileName,
                                         std::string("Global\\") + windows::testing::kProfileName,
                                         {"\\\\?\\C:\\work\\ws"})
                      .value();
        job = CreateSandboxJob(host.platform()).value();
        environment =
            BuildChildEnvironment(host.platform(), kHome, telvo::testing::PathOf("C:\\work\\ws"), {}).value();
    }

    void Grant(const windows::AuthorityAccess& authority) {
        ASSERT_TRUE(winutil::WalkTree(platform(), authority.root.text(), true, never, winutil::WalkPolicy::prove,
                                      [&](const std::u16string& path, platform::Handle handle) {
                                          return windows::GrantAuthorityAccess(platform(), path, handle, authority,
                                                                               sid);
                                      }));
    }

    LaunchInputs Inputs(std::string command, bool network_access = true) {
        LaunchInputs inputs{.command = std::move(command),
                            .working_directory = telvo::testing::PathOf("C:\\work\\ws")};
        inputs.profile_name = windows::testing::kProfileName;
        inputs.app_container_sid = &sid;
        inputs.capabilities = &capabilities;
        inputs.job = job;
        inputs.controller_gone = gone;
        inputs.environment = &environment;
        inputs.network_access = network_access;
        inputs.authorities = &authorities;
        inputs.journal = &journal;
        return inputs;
    }

    static std::u16string CommandLine(std::string_view command) {
        return u"\"" + std::u16string(kProcessor) + u"\" /d /s /c \"" + Wide(command) + u"\"";
    }
    // The program `command` runs: it writes "ran\n" and then takes `steps`.
    void Script(std::string_view command, std::vector<platform::sim::ProcessStep> steps = {}) {
        steps.insert(steps.begin(), platform::sim::step::WriteOutput{"ran\n"});
        host.processes().Script(CommandLine(command), std::move(steps));
    }
    Result<std::int32_t> Launch(std::string command, bool network_access = true) {
        return LaunchSandboxedCommand(seam, Inputs(std::move(command), network_access));
    }
    std::string Output() { return host.stdout_pipe().Bytes(); }
    std::shared_ptr<platform::sim::SimProcess> LastChild() {
        const auto created = host.processes().Created();
        return created.empty() ? nullptr : created.back();
    }
    platform::Handle StdOut() { return host.platform().console.GetStdHandle(platform::StdStream::output).value(); }
    std::uint32_t FlagsOf(platform::Handle handle) {
        return host.platform().processes.GetHandleInformation(handle).value();
    }
    std::size_t ActiveInJob() { return JobActiveProcessCount(*job).value(); }
    template <class T>
    static std::string ErrorOf(const Result<T>& result) {
        return result ? std::string("(succeeded)") : result.error().Display();
    }

    RecordingProcesses processes;
    TokenAnswers security;
    platform::Platform seam;
    identity::CapabilitySet capabilities;
    std::vector<windows::AuthorityAccess> authorities;
    windows::JournalRecord journal;
    std::shared_ptr<SandboxJob> job;
    ChildEnvironment environment;
    ControllerGoneFlag gone = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> never{false};
};

}  // namespace telvo::process::testing
