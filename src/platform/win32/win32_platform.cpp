#include "platform/win32/win32_platform.h"

#include "platform/win32/win32_console.h"
#include "platform/win32/win32_kernel.h"
#include "platform/win32/win32_service.h"

namespace telvo::platform::win32 {

Platform& Win32Platform() {
    static Win32Kernel kernel;
    static Win32Console console;
    static Win32ServiceControl service;
    static Platform platform{kernel, console, service};
    return platform;
}

}  // namespace telvo::platform::win32
