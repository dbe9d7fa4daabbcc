#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE.
enum class StdStream : std::uint32_t {
    input = static_cast<std::uint32_t>(-10),
    output = static_cast<std::uint32_t>(-11),
    error = static_cast<std::uint32_t>(-12),
};

// The process's own surroundings: its standard handles, command line and end.
class Console {
public:
    virtual ~Console() = default;

    // GetStdHandle: the stream's handle value as the process holds it, a
    // null handle when it has none, INVALID_HANDLE_VALUE when it was given
    // that. Fails (ERROR_INVALID_HANDLE) only for an unknown stream.
    virtual SysResult<Handle> GetStdHandle(StdStream stream) = 0;
    // GetCommandLineW split by CommandLineToArgvW, program name excluded.
    // Arguments stay UTF-16 as Windows hands them over, unpaired surrogates included.
    virtual SysResult<std::vector<std::u16string>> GetCommandLineArguments() = 0;
    // ExitProcess: never returns on Windows; the simulated host records the code.
    virtual void ExitProcess(std::uint32_t exit_code) = 0;
};

}  // namespace telvo::platform
