// telvo-sim: the helper on a simulated Windows host, with the real process's
// standard streams as the simulated helper's console.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "telvo_sim/sim_session.h"

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A controller that goes away shows as a failed write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    telvo::telvo_sim::SimStreams streams;
    streams.read_input = [] {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
        }
    };
    streams.write_output = [](std::string_view bytes) { return WriteAll(STDOUT_FILENO, bytes); };
    streams.write_error = [](std::string_view bytes) { (void)WriteAll(STDERR_FILENO, bytes); };
    const int code = telvo::telvo_sim::RunTelvoSim(arguments, streams);
    // The thread that reads standard input may still wait for it.
    std::_Exit(code);
}
