#pragma once

#include "platform/appcontainer.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/kernel.h"
#include "platform/pipes.h"
#include "platform/processes.h"
#include "platform/security.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/wfp.h"

namespace telvo::platform {

// The seam: every call the system makes to Windows goes through one of these
// interfaces, grouped as the Windows libraries group them. A backend owns the
// implementations; the references stay valid for the backend's lifetime.
struct Platform {
    Kernel& kernel;
    Console& console;
    ServiceControl& service;
    Files& files;
    Sync& sync;
    Security& security;
    AppContainer& appcontainer;
    System& system;
    Processes& processes;
    Pipes& pipes;
    Wfp& wfp;
};

}  // namespace telvo::platform
