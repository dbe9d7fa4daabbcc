#include "main/dispatcher.h"

#include "main/command_line.h"
#include "network_broker/service_main.h"
#include "protocol/request.h"
#include "windows/run_orchestration.h"

namespace telvo::app {

namespace {

DispatchOutcome RunController(platform::Platform& platform) {
    auto request = protocol::ReadControllerRequest(platform);
    if (!request) return std::unexpected(std::move(request.error()));
    auto exit_code = windows::ExecuteRequest(platform, *request);
    if (!exit_code) return std::unexpected(std::move(exit_code.error()));
    return *exit_code;
}

// The dispatcher returns only once the service has stopped; the service
// reports on its own, so the process ends without a record.
DispatchOutcome RunService(platform::Platform& platform) {
    if (auto ran = network_broker::RunNetworkService(platform); !ran) return std::unexpected(std::move(ran.error()));
    return std::nullopt;
}

DispatchOutcome RunHost(platform::Platform& platform, const host_prepare::HostCommand& command) {
    if (auto result = host_prepare::RunHostCommand(platform, command); !result) {
        return std::unexpected(std::move(result.error()));
    }
    return std::nullopt;
}

}  // namespace

DispatchOutcome Dispatch(platform::Platform& platform) {
    auto arguments = platform.console.GetCommandLineArguments();
    if (!arguments) return FailSys("CommandLineToArgvW", arguments.error());
    auto mode = ParseCommandLine(*arguments);
    if (!mode) return std::unexpected(std::move(mode.error()));
    if (std::holds_alternative<ControllerMode>(*mode)) return RunController(platform);
    if (std::holds_alternative<ServiceMode>(*mode)) return RunService(platform);
    return RunHost(platform, std::get<host_prepare::HostCommand>(*mode));
}

}  // namespace telvo::app
