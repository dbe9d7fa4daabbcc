#include "contract/contract_host.h"
#include "platform/sim/sim_host.h"

namespace telvo::contract {

namespace {

class SimContractHost final : public ContractHost {
public:
    platform::Platform& platform() override { return host_.platform(); }
    const char* name() const override { return "simulated"; }
    std::u16string ScratchDirectory() override { return {}; }
    bool MakeDirectory(const std::u16string&) override { return false; }
    bool MakeFile(const std::u16string&, const std::string&) override { return false; }
    bool MakeHardLink(const std::u16string&, const std::u16string&) override { return false; }
    bool MakeJunction(const std::u16string&, const std::u16string&) override { return false; }
    bool Rename(const std::u16string&, const std::u16string&) override { return false; }

private:
    platform::sim::SimHost host_;
};

}  // namespace

std::unique_ptr<ContractHost> MakeContractHost() { return std::make_unique<SimContractHost>(); }

}  // namespace telvo::contract
