#pragma once

#include "platform/console.h"
#include "platform/kernel.h"
#include "platform/service.h"

namespace telvo::platform {

// The seam: every call the system makes to Windows goes through one of these
// interfaces, grouped as the Windows libraries group them. A backend owns the
// implementations; the references stay valid for the backend's lifetime.
struct Platform {
    Kernel& kernel;
    Console& console;
    ServiceControl& service;
};

}  // namespace telvo::platform
