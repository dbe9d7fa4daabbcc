#include "platform/sim/sim_service.h"

#include "platform/sim/sim_host.h"
#include "platform/types.h"

namespace telvo::platform::sim {

SysResult<void> SimServiceControl::StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                                ServiceMain service_main) {
    TELVO_SIM_ENTER(host_, "StartServiceCtrlDispatcherW");
    if (!scm_arguments_) {
        return std::unexpected(SysError::Win32(win32_error::kFailedServiceControllerConnect));
    }
    dispatched_name_ = service_name;
    service_main(*scm_arguments_);
    return {};
}

void SimServiceControl::StartedByServiceControlManager(std::vector<std::u16string> arguments) {
    scm_arguments_ = std::move(arguments);
}

}  // namespace telvo::platform::sim
