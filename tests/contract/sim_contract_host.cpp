#include <gtest/gtest.h>

#include "contract_host.h"
#include "platform/sim/sim_host.h"
#include "winformat/security_descriptor.h"

namespace telvo::contract {

namespace {

// The simulated host for the contract tests: an NTFS volume C: with
// persistent ACLs and a scratch directory per test below \\?\C:\contract.
class SimContractHost final : public ContractHost {
public:
    SimContractHost() {
        host_.files().AddVolume({});
        (void)host_.files().MakeDirectory(u"\\\\?\\C:\\contract");
    }

    platform::Platform& platform() override { return host_.platform(); }
    const char* name() const override { return "simulated"; }

    std::u16string ScratchDirectory() override {
        std::u16string path = u"\\\\?\\C:\\contract\\";
        if (const auto* test = ::testing::UnitTest::GetInstance()->current_test_info()) {
            for (const char* c = test->name(); *c != '\0'; ++c) path.push_back(static_cast<char16_t>(*c));
        }
        path += u"-" + std::u16string(1, static_cast<char16_t>(u'a' + scratch_count_++ % 26));
        if (!host_.files().MakeDirectory(path)) return {};
        return path;
    }

    bool MakeDirectory(const std::u16string& path) override { return host_.files().MakeDirectory(path).has_value(); }
    bool MakeFile(const std::u16string& path, const std::string& bytes) override {
        return host_.files().MakeFile(path, bytes).has_value();
    }
    bool MakeHardLink(const std::u16string& existing, const std::u16string& link) override {
        return host_.files().MakeHardLink(existing, link).has_value();
    }
    bool MakeJunction(const std::u16string& path, const std::u16string& target) override {
        return host_.files().MakeJunction(path, target).has_value();
    }
    bool Rename(const std::u16string& from, const std::u16string& to) override {
        return host_.files().Rename(from, to).has_value();
    }
    bool PlantDescriptor(const std::u16string& path, std::span<const std::uint8_t> descriptor) override {
        return host_.files().SetSecurityDescriptor(path, {descriptor.begin(), descriptor.end()}).has_value();
    }
    bool PlantRegistryValue(const std::u16string& sub_key, const std::u16string& value_name, std::uint32_t type,
                            std::span<const std::uint8_t> data) override {
        host_.system().registry().Set(sub_key, value_name, type, {data.begin(), data.end()});
        return true;
    }
    bool SetEnvironmentEntry(const std::u16string& name, const std::u16string& value) override {
        std::vector<std::u16string> entries = host_.caller().Environment();
        std::erase_if(entries, [&](const std::u16string& entry) { return entry.starts_with(name + u"="); });
        entries.push_back(name + u"=" + value);
        host_.caller().SetEnvironment(std::move(entries));
        return true;
    }
    platform::sim::TokenIdentity ProcessIdentity() override { return host_.security().ProcessToken().identity; }

    bool SetStandardHandle(platform::StdStream stream, platform::Handle handle) override {
        host_.console().SetStdHandle(stream, handle);
        return true;
    }
    void DefineCommand(const std::u16string& command_line, const std::string& output,
                       std::optional<std::uint32_t> exit_code) override {
        using namespace platform::sim;
        std::vector<ProcessStep> steps{step::WriteOutput{output}};
        if (exit_code) {
            steps.emplace_back(step::Exit{*exit_code});
        } else {
            steps.emplace_back(step::Hang{});
        }
        host_.processes().Script(command_line, std::move(steps));
    }

    std::optional<ServedPipe> ServePipe(const std::u16string& name, const std::string& reply) override {
        platform::sim::PipeServerScript script;
        script.server_process_id = kServerProcessId;
        winformat::SecurityDescriptor descriptor;
        descriptor.owner = host_.security().ProcessToken().owner;
        descriptor.group = descriptor.owner;
        descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
            winformat::acl_revision::kRevision, {winformat::Ace::Allowed(0x001F01FF, *descriptor.owner)}));
        script.security_descriptor = descriptor.ToSelfRelative();
        script.reply = {{0, reply}};
        host_.pipes().Listen(name, std::move(script));
        return ServedPipe{kServerProcessId, *descriptor.owner};
    }

    bool InstallService(const std::u16string& name, const std::u16string& command_line) override {
        platform::sim::SimInstalledService service;
        service.config.service_type = platform::service_type::kWin32OwnProcess;
        service.config.start_type = platform::service_start::kDemandStart;
        service.config.binary_path_name = command_line;
        service.config.service_start_name = u"LocalSystem";
        service.config.display_name = name;
        service.status.service_type = platform::service_type::kWin32OwnProcess;
        service.status.current_state = platform::service_state::kStopped;
        // The default service descriptor (windows-notes 11.1).
        winformat::SecurityDescriptor descriptor;
        descriptor.owner = winformat::well_known::LocalSystem();
        descriptor.group = winformat::well_known::LocalSystem();
        const winformat::Sid interactive = winformat::Sid::Make(winformat::sid_authority::kNt, {4});
        const winformat::Sid service_logon = winformat::Sid::Make(winformat::sid_authority::kNt, {6});
        descriptor.dacl = winformat::AclSlot(*winformat::Acl::Fitted(
            winformat::acl_revision::kRevision,
            {winformat::Ace::Allowed(0x000201FD, winformat::well_known::LocalSystem()),
             winformat::Ace::Allowed(0x000F01FF, winformat::well_known::Administrators()),
             winformat::Ace::Allowed(0x0002018D, interactive), winformat::Ace::Allowed(0x0002018D, service_logon)}));
        service.security_descriptor = descriptor.ToSelfRelative();
        host_.service().Install(name, std::move(service));
        return true;
    }

    bool BecomeAdministrator() override {
        host_.security().SetProcessToken(
            platform::sim::SimToken::InteractiveUser(host_.security().TokenUser(), true, true));
        return true;
    }

private:
    static constexpr std::uint32_t kServerProcessId = 4400;
    platform::sim::SimHost host_;
    int scratch_count_ = 0;
};

}  // namespace

std::unique_ptr<ContractHost> MakeContractHost() { return std::make_unique<SimContractHost>(); }

}  // namespace telvo::contract
