#include "main/process_entry.h"
#include "platform/win32/win32_platform.h"

int wmain() {
    return static_cast<int>(telvo::app::ProcessEntry(telvo::platform::win32::Win32Platform()));
}
