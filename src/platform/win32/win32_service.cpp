#include "platform/win32/win32_service.h"

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The dispatcher calls a plain function; it forwards to the one service main
// that the process registered.
ServiceMain g_service_main;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::u16string> arguments;
    for (DWORD i = 0; i < argc; ++i) arguments.push_back(FromWide(argv[i]));
    g_service_main(arguments);
}

}  // namespace

SysResult<void> Win32ServiceControl::StartServiceCtrlDispatcherW(const std::u16string& service_name,
                                                                  ServiceMain service_main) {
    g_service_main = std::move(service_main);
    std::wstring name(service_name.begin(), service_name.end());
    SERVICE_TABLE_ENTRYW table[] = {
        {name.data(), &ServiceMainTrampoline},
        {nullptr, nullptr},
    };
    if (!::StartServiceCtrlDispatcherW(table)) return LastError();
    return {};
}

}  // namespace telvo::platform::win32
