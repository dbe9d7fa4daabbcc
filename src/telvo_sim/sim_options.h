#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace telvo::telvo_sim {

// The N-th use of a seam call fails with a chosen code.
struct PlannedFailure {
    std::string call;
    std::uint64_t nth = 0;
    SysError error;
};

// How the change report is written, if at all.
enum class ChangesFormat : std::uint8_t { none, text, json };

// What telvo-sim was asked to do (kUsage). Options may also be written
// --name=value. The first argument that is not an option (or everything
// after "--") is handed to the helper.
struct SimOptions {
    bool help = false;
    bool list_calls = false;
    std::optional<std::string> host_file;
    std::optional<std::string> state_out;
    ChangesFormat changes = ChangesFormat::none;
    std::vector<PlannedFailure> failures;
    std::optional<std::uint64_t> crash_after;
    std::optional<std::string> calls_out;
    std::vector<std::string> helper_arguments;
};

// Refuses an unknown option, an option given twice (but --fail), a missing
// or malformed value, a --fail call that the sim does not make, and a
// --fail code of the wrong kind for its call (decimal for a Win32 error,
// 0x-hexadecimal for an HRESULT or NTSTATUS).
Result<SimOptions> ParseSimOptions(const std::vector<std::string>& arguments);

inline constexpr char kUsage[] =
    "usage: telvo-sim [--host FILE] [--state-out FILE] [--changes[=text|json]] [--fail CALL:N:CODE]...\n"
    "                 [--crash-after N] [--calls-out FILE] [--] [helper arguments...]\n"
    "       telvo-sim --help | --list-calls\n";

// What --help prints.
inline constexpr char kHelp[] =
    "telvo-sim runs telvo-windows-sandbox on a simulated Windows host: the same arguments,\n"
    "the same framed request on standard input, the same output, record and exit code.\n"
    "\n"
    "  --host FILE          the host to simulate (docs/telvo-sim-host-format.md); default: the built-in host\n"
    "  --state-out FILE     the host's state after the helper process has ended, as a host file\n"
    "  --changes[=text|json]  on standard error, every change the run made and whether it was undone\n"
    "  --fail CALL:N:CODE   the N-th use of seam call CALL fails with CODE (decimal Win32 error, or\n"
    "                       0x-hexadecimal HRESULT/NTSTATUS for the calls that report one)\n"
    "  --crash-after N      the helper process dies right after its N-th seam call\n"
    "  --calls-out FILE     the seam calls the helper made, one name a line\n"
    "  --list-calls         the call names --fail accepts, one a line\n"
    "  --help               this text\n"
    "\n"
    "Exit codes: the helper's own (0, 2, 3, 4); 64 bad options, an unreadable or invalid host file\n"
    "(nothing runs), or a --fail or --crash-after point the run did not reach (reported after the\n"
    "run); 70 --crash-after ended the helper; 74 an output file could not be written.\n";

}  // namespace telvo::telvo_sim
