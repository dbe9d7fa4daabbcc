#pragma once

#include "platform/service.h"

namespace telvo::platform::win32 {

class Win32ServiceControl final : public ServiceControl {
public:
    SysResult<void> StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                 ServiceMain service_main) override;
};

}  // namespace telvo::platform::win32
