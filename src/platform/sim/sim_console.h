#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/console.h"

namespace telvo::platform::sim {

class SimHost;

class SimConsole final : public Console {
public:
    explicit SimConsole(SimHost& host) : host_(host) {}

    SysResult<Handle> GetStdHandle(StdStream stream) override;
    SysResult<std::vector<std::u16string>> GetCommandLineArguments() override;
    void ExitProcess(std::uint32_t exit_code) override;

    // Test side. The standard handles and the exit code are those of the
    // calling process; the arguments are every helper process's.
    void SetStdHandle(StdStream stream, Handle handle);
    void SetArguments(std::vector<std::u16string> arguments);
    std::optional<std::uint32_t> ExitCode() const;
    // Called once, when the process first ends, with its exit code: a death
    // test reports from here what the process wrote before it ended.
    void OnExitProcess(std::function<void(std::uint32_t)> on_exit);

private:
    SimHost& host_;
    mutable std::mutex mutex_;
    std::vector<std::u16string> arguments_;
    std::function<void(std::uint32_t)> on_exit_;
};

}  // namespace telvo::platform::sim
