#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/service.h"

namespace telvo::platform::sim {

class SimHost;

// The Service Control Manager as seen by a service process. Started from a
// console the dispatcher fails with 1063, as on Windows; a test can make it
// behave as if the SCM had started the process.
class SimServiceControl final : public ServiceControl {
public:
    explicit SimServiceControl(SimHost& host) : host_(host) {}

    SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                 ServiceMain service_main) override;

    // Test side.
    void StartedByServiceControlManager(std::vector<std::u16string> arguments);
    const std::optional<std::u16string>& DispatchedName() const { return dispatched_name_; }

private:
    SimHost& host_;
    std::optional<std::vector<std::u16string>> scm_arguments_;
    std::optional<std::u16string> dispatched_name_;
};

}  // namespace telvo::platform::sim
