#include "platform/sim/sim_console.h"

#include "platform/sim/sim_host.h"

namespace telvo::platform::sim {

SysResult<Handle> SimConsole::GetStdHandle(StdStream stream) {
    TELVO_SIM_ENTER(host_, "GetStdHandle");
    if (stream != StdStream::input && stream != StdStream::output && stream != StdStream::error) {
        return std::unexpected(SysError::Win32(win32_error::kInvalidHandle));
    }
    return host_.caller().StdHandle(stream);
}

SysResult<std::vector<std::u16string>> SimConsole::GetCommandLineArguments() {
    TELVO_SIM_ENTER(host_, "GetCommandLineW");
    std::lock_guard lock(mutex_);
    return arguments_;
}

void SimConsole::ExitProcess(std::uint32_t exit_code) {
    (void)host_.Enter("ExitProcess");
    if (host_.CallerIsDead()) return;  // a dead process ends no more
    if (!host_.caller().SetExitCode(exit_code)) return;
    std::function<void(std::uint32_t)> on_exit;
    {
        std::lock_guard lock(mutex_);
        on_exit = on_exit_;
    }
    if (on_exit) on_exit(exit_code);
}

void SimConsole::OnExitProcess(std::function<void(std::uint32_t)> on_exit) {
    std::lock_guard lock(mutex_);
    on_exit_ = std::move(on_exit);
}

void SimConsole::SetStdHandle(StdStream stream, Handle handle) { host_.caller().SetStdHandle(stream, handle); }

void SimConsole::SetArguments(std::vector<std::u16string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
}

std::optional<std::uint32_t> SimConsole::ExitCode() const { return host_.caller().ExitCode(); }

}  // namespace telvo::platform::sim
