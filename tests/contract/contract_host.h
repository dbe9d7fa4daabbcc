#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_access_check.h"
#include "winformat/sid.h"

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
    // Replaces the owner, group and DACL of a file or directory with those
    // of `descriptor` (self-relative; its DACL's protected bit included),
    // bypassing the checks the seam makes.
    virtual bool PlantDescriptor(const std::u16string& path, std::span<const std::uint8_t> descriptor) = 0;
    // A value under HKEY_LOCAL_MACHINE\`sub_key` (64-bit view), and a
    // variable of this process's environment.
    virtual bool PlantRegistryValue(const std::u16string& sub_key, const std::u16string& value_name,
                                    std::uint32_t type, std::span<const std::uint8_t> data) = 0;
    virtual bool SetEnvironmentEntry(const std::u16string& name, const std::u16string& value) = 0;
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

    // A named pipe served by this host: one instance listens on `name`
    // (\\.\pipe\...), reads one frame (4-byte little-endian length, then the
    // bytes), answers with `reply` and closes its end. Its server process id
    // and owner as the host knows them; nothing when it cannot serve one.
    struct ServedPipe {
        std::uint32_t server_process_id = 0;
        winformat::Sid owner;
    };
    virtual std::optional<ServedPipe> ServePipe(const std::u16string& name, const std::string& reply) = 0;

    // Installs a stopped own-process, demand-start LocalSystem service with
    // this command line and the default service descriptor; false when the
    // host cannot (the test then skips). The host removes it again.
    virtual bool InstallService(const std::u16string& name, const std::u16string& command_line) = 0;
    // Makes the process an elevated Administrator's, as the installer runs;
    // false when the host cannot (Windows: when the test does not run so).
    virtual bool BecomeAdministrator() = 0;
};

// The host of this build: simulated natively, win32 in the Windows build.
std::unique_ptr<ContractHost> MakeContractHost();

}  // namespace telvo::contract
