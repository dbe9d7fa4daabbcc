#include <gtest/gtest.h>

#include "contract_host.h"
#include "platform/sim/sim_host.h"

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

private:
    platform::sim::SimHost host_;
    int scratch_count_ = 0;
};

}  // namespace

std::unique_ptr<ContractHost> MakeContractHost() { return std::make_unique<SimContractHost>(); }

}  // namespace telvo::contract
