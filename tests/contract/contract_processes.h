#pragma once

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/processes.h"
#include "platform/unique_handle.h"
#include "winformat/little_endian.h"

namespace telvo::contract {

// Children and jobs through the seam, for the contract tests that start
// the host's command processor.

// The command processor of the host, from its Windows directory.
inline std::u16string CommandProcessor(platform::Platform& platform) {
    std::array<char16_t, 260> buffer{};
    const auto length = platform.system.GetSystemWindowsDirectoryW(buffer);
    if (!length || *length >= buffer.size()) return {};
    return std::u16string(buffer.data(), *length) + u"\\system32\\cmd.exe";
}

// The command line that runs `arguments` in the command processor `cmd`.
inline std::u16string CommandLine(const std::u16string& cmd, const std::u16string& arguments) {
    return u"\"" + cmd + u"\" /d /c " + arguments;
}

// `cmd /d /c arguments`, suspended, with `attributes` and `output` as its
// standard output and error.
inline SysResult<platform::ProcessInformation> StartSuspended(platform::Platform& platform, const std::u16string& cmd,
                                                             const std::u16string& arguments,
                                                             std::optional<platform::AttributeList> attributes,
                                                             platform::Handle output, bool inherit_handles) {
    using namespace platform;
    CreateProcessParameters parameters;
    parameters.application_name = cmd;
    parameters.command_line = CommandLine(cmd, arguments);
    parameters.inherit_handles = inherit_handles;
    parameters.creation_flags = creation_flag::kSuspended | creation_flag::kUnicodeEnvironment |
                                creation_flag::kExtendedStartupInfoPresent | creation_flag::kNoWindow;
    parameters.environment = std::u16string(u"TELVO=1\0", 8) + u'\0';
    parameters.startup_info.cb = startup_info_layout::kExtendedSize;
    parameters.startup_info.flags = startup_flag::kUseStdHandles;
    parameters.startup_info.std_output = output;
    parameters.startup_info.std_error = output;
    parameters.startup_info.attribute_list = attributes;
    return platform.processes.CreateProcessW(parameters);
}

// An attribute list of `count` attributes, sized by the probe first.
inline platform::UniqueAttributeList NewAttributeList(platform::Processes& processes, std::uint32_t count) {
    std::size_t needed = 0;
    auto probe = processes.InitializeProcThreadAttributeList(count, 0, needed);
    EXPECT_FALSE(probe);
    if (!probe) {
        EXPECT_EQ(probe.error(), SysError::Win32(platform::win32_error::kInsufficientBuffer));
    }
    EXPECT_GT(needed, 0u);
    return platform::UniqueAttributeList(processes,
                                         processes.InitializeProcThreadAttributeList(count, needed, needed).value());
}

// JOBOBJECT_BASIC_ACCOUNTING_INFORMATION of `job`.
inline std::vector<std::uint8_t> Accounting(platform::Platform& platform, platform::Handle job) {
    std::vector<std::uint8_t> accounting(platform::job_layout::kBasicAccountingSize, 0xCC);
    auto returned =
        platform.processes.QueryInformationJobObject(job, platform::job_information::kBasicAccounting, accounting);
    EXPECT_TRUE(returned);
    EXPECT_EQ(returned.value_or(0), platform::job_layout::kBasicAccountingSize);
    return accounting;
}

inline std::uint32_t ActiveProcesses(platform::Platform& platform, platform::Handle job) {
    return winformat::le::Read32(Accounting(platform, job), platform::job_layout::kActiveProcessesOffset);
}

}  // namespace telvo::contract
