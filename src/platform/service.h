#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/error.h"

namespace telvo::platform {

// The service's main entry, called on the dispatcher's thread with the
// service arguments.
using ServiceMain = std::function<void(const std::vector<std::u16string>& arguments)>;

// Service Control Manager (advapi32).
class ServiceControl {
public:
    virtual ~ServiceControl() = default;

    // StartServiceCtrlDispatcherW with a table holding the one service;
    // returns when the service has stopped.
    virtual SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                         ServiceMain service_main) = 0;
};

}  // namespace telvo::platform
