#include "platform/sim/sim_console.h"

#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SysResult<Handle> SimConsole::GetStdHandle(StdStream stream) {
    if (auto fault = host_.Enter("GetStdHandle")) return std::unexpected(*fault);
    std::lock_guard lock(mutex_);
    auto it = std_handles_.find(stream);
    return it == std_handles_.end() ? kNullHandle : it->second;
}

SysResult<std::vector<std::u16string>> SimConsole::GetCommandLineArguments() {
    if (auto fault = host_.Enter("GetCommandLineW")) return std::unexpected(*fault);
    std::lock_guard lock(mutex_);
    return arguments_;
}

void SimConsole::ExitProcess(std::uint32_t exit_code) {
    (void)host_.Enter("ExitProcess");
    std::lock_guard lock(mutex_);
    if (!exit_code_) exit_code_ = exit_code;
}

void SimConsole::SetStdHandle(StdStream stream, Handle handle) {
    std::lock_guard lock(mutex_);
    std_handles_[stream] = handle;
}

void SimConsole::SetArguments(std::vector<std::u16string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
}

std::optional<std::uint32_t> SimConsole::ExitCode() const {
    std::lock_guard lock(mutex_);
    return exit_code_;
}

}  // namespace telvo::platform::sim
