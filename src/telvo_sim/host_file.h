#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/sim/sim_host.h"

namespace telvo::telvo_sim {

// The host file of telvo-sim: a simulated Windows host as JSON text
// ("format": "telvo-sim-host/1"), read into a SimHost and written back from
// one. docs/telvo-sim-host-format.md describes every key. Reading is strict:
// an unknown key, a value of the wrong type, a bad SDDL string, a path given
// twice or before its parent is refused with its position in the text.
inline constexpr std::string_view kHostFormat = "telvo-sim-host/1";
inline constexpr std::size_t kMaxHostFileSize = 16 * 1024 * 1024;

// The user of a host file that leaves `user` (or its name or SID) out.
inline constexpr std::u16string_view kDefaultUserName = u"alice";
inline constexpr std::string_view kDefaultUserSid = "S-1-5-21-1004336348-1177238915-682003330-1001";

// A host built from a file, with the mutexes that other live processes keep
// open on it (they exist while this holds them). Its filtering engine holds
// the file's boot, layout and leases; when the file's service
// TelvoOfflineNetwork is running, the host's SCM has started the product's
// own service, which serves the broker pipe.
struct LoadedHost {
    std::unique_ptr<platform::sim::SimHost> host;
    std::vector<std::shared_ptr<platform::sim::SimMutex>> other_processes_mutexes;
};

Result<LoadedHost> ReadHostFile(std::string_view text);

// The host's state in the same format: every object with its whole
// descriptor, and the filtering engine's layout and leases. Fails for state the format cannot describe (a volume that is
// not a drive letter, file contents that are not UTF-8, a process script
// step other than those of a command, a command line that is not a command
// of the host's cmd.exe).
Result<std::string> WriteHostFile(platform::sim::SimHost& host);

// The built-in host: Windows 11, a fixed NTFS drive C:, the standard user
// alice with her workspace C:\Users\alice\work, the host preparation done
// and a few commands.
std::string_view DefaultHostFile();

// The command line that runs `command` through the host's cmd.exe, as the
// helper builds it: "<system directory>\cmd.exe" /d /s /c "<command>".
std::u16string CommandLineOf(const std::u16string& system_directory, std::u16string_view command);

}  // namespace telvo::telvo_sim
