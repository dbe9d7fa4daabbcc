#include "platform/win32/win32_platform.h"

#include "platform/win32/win32_appcontainer.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_kernel.h"
#include "platform/win32/win32_pipes.h"
#include "platform/win32/win32_processes.h"
#include "platform/win32/win32_security.h"
#include "platform/win32/win32_service.h"
#include "platform/win32/win32_sync.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_wfp.h"

namespace telvo::platform::win32 {

Platform& Win32Platform() {
    static Win32Kernel kernel;
    static Win32Console console;
    static Win32ServiceControl service;
    static Win32Files files;
    static Win32Sync sync;
    static Win32Security security;
    static Win32AppContainer appcontainer;
    static Win32System system;
    static Win32Processes processes;
    static Win32Pipes pipes;
    static Win32Wfp wfp;
    static Platform platform{kernel, console, service, files, sync, security, appcontainer, system, processes, pipes, wfp};
    return platform;
}

}  // namespace telvo::platform::win32
