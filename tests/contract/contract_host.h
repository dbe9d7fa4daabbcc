#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_access_check.h"

namespace telvo::contract {

// A host on which the contract tests of the seam run: the simulated host
// natively, the real Windows API under Wine. Set-up goes around the seam
// (a test plants what it then observes through the seam).
class ContractHost {
public:
    virtual ~ContractHost() = default;

    virtual platform::Platform& platform() = 0;
    // "simulated" or "win32"
    virtual const char* name() const = 0;

    // A fresh, empty scratch directory, as a normalized local path in
    // extended form (\\?\X:\...), unique to the calling test.
    virtual std::u16string ScratchDirectory() = 0;

    // Planting objects. Paths are extended-form local paths. Each returns
    // false when the host cannot plant such an object (a test then skips).
    virtual bool MakeDirectory(const std::u16string& path) = 0;
    virtual bool MakeFile(const std::u16string& path, const std::string& bytes) = 0;
    virtual bool MakeHardLink(const std::u16string& existing, const std::u16string& link) = 0;
    virtual bool MakeJunction(const std::u16string& path, const std::u16string& target) = 0;
    virtual bool Rename(const std::u16string& from, const std::u16string& to) = 0;
    // Sets one of the process's standard handles (SetStdHandle) and leaves a
    // stale last error behind, as an earlier failed call would.
    virtual bool SetStandardHandle(platform::StdStream stream, platform::Handle handle) = 0;

    // What the access checks of this process read of its own token, taken
    // around the seam.
    virtual platform::sim::TokenIdentity ProcessIdentity() = 0;

    // What the program started with `command_line` does: it writes `output`
    // on its standard output and exits with `exit_code`, or runs until it is
    // killed when there is none. The simulated host runs it so; on Windows
    // the command line itself does it.
    virtual void DefineCommand(const std::u16string& command_line, const std::string& output,
                               std::optional<std::uint32_t> exit_code) = 0;
};

// The host of this build: simulated natively, win32 in the Windows build.
std::unique_ptr<ContractHost> MakeContractHost();

}  // namespace telvo::contract
