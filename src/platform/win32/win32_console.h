#pragma once

#include "platform/console.h"

namespace telvo::platform::win32 {

class Win32Console final : public Console {
public:
    SysResult<Handle> GetStdHandle(StdStream stream) override;
    SysResult<std::vector<std::u16string>> GetCommandLineArguments() override;
    void ExitProcess(std::uint32_t exit_code) override;
};

}  // namespace telvo::platform::win32
