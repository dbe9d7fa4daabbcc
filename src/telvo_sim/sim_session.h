#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace telvo::telvo_sim {

// telvo-sim's own exit codes, apart from the helper's 0, 2, 3 and 4.
inline constexpr int kExitUsage = 64;        // bad options, an unreadable or invalid host file
inline constexpr int kExitHelperDied = 70;   // --crash-after ended the helper process
inline constexpr int kExitCannotWrite = 74;  // an output file could not be written

// The real process's streams, as telvo-sim hands them to the simulated one.
struct SimStreams {
    // The next bytes of standard input, as they arrive; empty at its end.
    // Called on a thread of its own, which may outlive the session while
    // the call blocks.
    std::function<std::string()> read_input;
    // False once the reader has gone away.
    std::function<bool(std::string_view)> write_output;
    std::function<void(std::string_view)> write_error;
};

// One telvo-sim invocation: reads the options and the host, runs the
// helper's process entry on the simulated host as that host's helper
// process with `streams` as its console, ends the process as Windows ends
// one (handles closed, mutexes abandoned, kill-on-close jobs killed), then
// writes what the options ask for. Returns the process's exit code: the
// helper's own, or one of telvo-sim's above.
int RunTelvoSim(const std::vector<std::string>& arguments, const SimStreams& streams);

}  // namespace telvo::telvo_sim
