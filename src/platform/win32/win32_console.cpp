#include "platform/win32/win32_console.h"

#include "platform/win32/win32_common.h"

#include <shellapi.h>

namespace telvo::platform::win32 {

// A stream may hold INVALID_HANDLE_VALUE itself; the call fails only when it
// also sets the last error (an unknown stream).
SysResult<Handle> Win32Console::GetStdHandle(StdStream stream) {
    ::SetLastError(ERROR_SUCCESS);
    HANDLE handle = ::GetStdHandle(static_cast<DWORD>(stream));
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_SUCCESS) return LastError();
    return FromNative(handle);
}

SysResult<std::vector<std::u16string>> Win32Console::GetCommandLineArguments() {
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr) return LastError();
    std::vector<std::u16string> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(FromWide(argv[i]));
    ::LocalFree(argv);
    return arguments;
}

void Win32Console::ExitProcess(std::uint32_t exit_code) { ::ExitProcess(exit_code); }

}  // namespace telvo::platform::win32
