#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "common/error.h"
#include "platform/types.h"

namespace telvo::platform {

// Job objects and threads (kernel32).
class Processes {
public:
    virtual ~Processes() = default;

    // CreateJobObjectW without security attributes and without a name.
    virtual SysResult<Handle> CreateJobObjectW() = 0;
    // SetInformationJobObject with the class's structure as bytes.
    virtual SysResult<void> SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                    std::span<const std::uint8_t> information) = 0;
    // QueryInformationJobObject into `buffer`: the number of bytes returned.
    virtual SysResult<std::uint32_t> QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                               std::span<std::uint8_t> buffer) = 0;
    virtual SysResult<void> TerminateJobObject(Handle job, std::uint32_t exit_code) = 0;

    // CreateThread with the default stack, running `start` once; the handle
    // of the new thread. The thread ends when `start` returns.
    virtual SysResult<Handle> CreateThread(std::function<void()> start) = 0;
    // SetThreadDescription, HRESULT kind.
    virtual SysResult<void> SetThreadDescription(Handle thread, const std::u16string& description) = 0;
};

// JOBOBJECTINFOCLASS values.
namespace job_information {
inline constexpr std::uint32_t kBasicAccounting = 1;
inline constexpr std::uint32_t kBasicLimit = 2;
inline constexpr std::uint32_t kBasicUiRestrictions = 4;
inline constexpr std::uint32_t kExtendedLimit = 9;
}  // namespace job_information

// Sizes of the job structures on x64.
namespace job_layout {
inline constexpr std::size_t kBasicAccountingSize = 48;
inline constexpr std::size_t kActiveProcessesOffset = 40;
inline constexpr std::size_t kBasicLimitSize = 64;
inline constexpr std::size_t kLimitFlagsOffset = 16;
inline constexpr std::size_t kExtendedLimitSize = 144;
inline constexpr std::size_t kUiRestrictionsSize = 4;
}  // namespace job_layout

// JOB_OBJECT_LIMIT_* flags.
namespace job_limit {
inline constexpr std::uint32_t kBreakawayOk = 0x00000800;
inline constexpr std::uint32_t kSilentBreakawayOk = 0x00001000;
inline constexpr std::uint32_t kKillOnJobClose = 0x00002000;
// Flags that only the extended class may set.
inline constexpr std::uint32_t kExtendedOnly = 0x00000100 | 0x00000200 | 0x00000400 | kBreakawayOk |
                                               kSilentBreakawayOk | kKillOnJobClose;
}  // namespace job_limit

// JOB_OBJECT_UILIMIT_*: all eight restrictions.
namespace job_ui_limit {
inline constexpr std::uint32_t kAll = 0x000000FF;
}  // namespace job_ui_limit

// STILL_ACTIVE, what GetExitCodeProcess reports for a running process.
inline constexpr std::uint32_t kStillActive = 259;

}  // namespace telvo::platform
