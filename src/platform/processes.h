#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/error.h"
#include "platform/types.h"
#include "winformat/sid.h"

namespace telvo::platform {

// A proc-thread attribute list that the backend built and keeps, with every
// value put in it, until DeleteProcThreadAttributeList: an opaque number, not
// the list's address.
enum class AttributeList : std::uint64_t {};

// SID_AND_ATTRIBUTES with the SID held by value.
struct CapabilitySid {
    winformat::Sid sid;
    std::uint32_t attributes = 0;
};

// SECURITY_CAPABILITIES (Reserved is zero).
struct SecurityCapabilities {
    winformat::Sid app_container_sid;
    std::vector<CapabilitySid> capabilities;
};

// What one UpdateProcThreadAttribute passes, by the attribute's payload type:
// a DWORD, a HANDLE array, or SECURITY_CAPABILITIES. The backend copies it
// and keeps the copy as long as the list.
using ProcThreadAttributeValue = std::variant<std::uint32_t, std::vector<Handle>, SecurityCapabilities>;

// STARTUPINFOEXW, as far as the system fills it: `cb` as the caller sets it
// (startup_info_layout::kExtendedSize), STARTF_* flags, the three standard
// handles and the attribute list (none: a null pointer).
struct StartupInfoEx {
    std::uint32_t cb = 0;
    std::uint32_t flags = 0;
    Handle std_input = kNullHandle;
    Handle std_output = kNullHandle;
    Handle std_error = kNullHandle;
    std::optional<AttributeList> attribute_list;
};

// The arguments of CreateProcessW, without process or thread security
// attributes. An empty application name or current directory is passed as a
// null pointer. The command line is copied into a writable buffer. The
// environment block is passed as it is: entries each ending in NUL and one
// more NUL at the end (empty: a null pointer, the caller's environment).
struct CreateProcessParameters {
    std::u16string application_name;
    std::u16string command_line;
    bool inherit_handles = false;
    std::uint32_t creation_flags = 0;
    std::u16string environment;
    std::u16string current_directory;
    StartupInfoEx startup_info;
};

// PROCESS_INFORMATION: the caller owns both handles.
struct ProcessInformation {
    Handle process = kNullHandle;
    Handle thread = kNullHandle;
    std::uint32_t process_id = 0;
    std::uint32_t thread_id = 0;
};

// GetProcessTimes' creation and exit times, each FILETIME as one value.
struct ProcessTimes {
    std::uint64_t creation = 0;
    std::uint64_t exit = 0;
};

// Process access rights.
namespace process_access {
inline constexpr std::uint32_t kDupHandle = 0x00000040;
inline constexpr std::uint32_t kQueryInformation = 0x00000400;
inline constexpr std::uint32_t kQueryLimitedInformation = 0x00001000;
inline constexpr std::uint32_t kSynchronize = 0x00100000;
}  // namespace process_access

// Job object access rights.
namespace job_access {
inline constexpr std::uint32_t kAssignProcess = 0x0001;
inline constexpr std::uint32_t kSetAttributes = 0x0002;
inline constexpr std::uint32_t kQuery = 0x0004;
inline constexpr std::uint32_t kTerminate = 0x0008;
}  // namespace job_access

// DuplicateHandle options.
namespace duplicate_option {
inline constexpr std::uint32_t kCloseSource = 0x1;
inline constexpr std::uint32_t kSameAccess = 0x2;
}  // namespace duplicate_option

// Processes, job objects and threads (kernel32).
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

    // InitializeProcThreadAttributeList for `attribute_count` attributes in a
    // list of `size` bytes. With a size of 0 (or too small) it is the size
    // probe: it fails with ERROR_INSUFFICIENT_BUFFER and sets `size_needed`.
    virtual SysResult<AttributeList> InitializeProcThreadAttributeList(std::uint32_t attribute_count,
                                                                       std::size_t size, std::size_t& size_needed) = 0;
    // UpdateProcThreadAttribute with flags 0 and no previous value returned;
    // the value's size is its payload's (a HANDLE array: 8 bytes a handle).
    virtual SysResult<void> UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                                      const ProcThreadAttributeValue& value) = 0;
    // DeleteProcThreadAttributeList, which also frees the kept values.
    virtual void DeleteProcThreadAttributeList(AttributeList list) = 0;

    // CreateProcessW.
    virtual SysResult<ProcessInformation> CreateProcessW(const CreateProcessParameters& parameters) = 0;
    // ResumeThread: the thread's previous suspend count.
    virtual SysResult<std::uint32_t> ResumeThread(Handle thread) = 0;
    // GetExitCodeProcess: STILL_ACTIVE while the process runs.
    virtual SysResult<std::uint32_t> GetExitCodeProcess(Handle process) = 0;
    virtual SysResult<void> TerminateProcess(Handle process, std::uint32_t exit_code) = 0;
    virtual SysResult<std::uint32_t> GetProcessId(Handle process) = 0;
    // QueryFullProcessImageNameW(process, Win32 path form) with a buffer of
    // 32768 units.
    virtual SysResult<std::u16string> QueryFullProcessImageNameW(Handle process) = 0;

    // GetCurrentProcessId.
    virtual std::uint32_t GetCurrentProcessId() = 0;
    // OpenProcess without handle inheritance.
    virtual SysResult<Handle> OpenProcess(std::uint32_t desired_access, std::uint32_t process_id) = 0;
    // DuplicateHandle of `source` out of `source_process` into the calling
    // process, not inheritable, with `desired_access` or the options given
    // (duplicate_option).
    virtual SysResult<Handle> DuplicateHandle(Handle source_process, Handle source, std::uint32_t desired_access,
                                              std::uint32_t options) = 0;
    // GetProcessTimes: creation and exit time as FILETIME values (the exit
    // time is 0 while the process runs).
    virtual SysResult<ProcessTimes> GetProcessTimes(Handle process) = 0;
    // IsProcessInJob: whether the process runs in `job`.
    virtual SysResult<bool> IsProcessInJob(Handle process, Handle job) = 0;

    // GetHandleInformation: the HANDLE_FLAG_* bits of the handle.
    virtual SysResult<std::uint32_t> GetHandleInformation(Handle handle) = 0;
    // SetHandleInformation: the bits of `mask` set to those of `flags`.
    virtual SysResult<void> SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) = 0;
};

// Owns one attribute list and deletes it on every path.
class UniqueAttributeList {
public:
    UniqueAttributeList(Processes& processes, AttributeList list) : processes_(&processes), list_(list) {}
    UniqueAttributeList(UniqueAttributeList&& other) noexcept
        : processes_(std::exchange(other.processes_, nullptr)), list_(other.list_) {}
    UniqueAttributeList& operator=(UniqueAttributeList&&) = delete;
    UniqueAttributeList(const UniqueAttributeList&) = delete;
    UniqueAttributeList& operator=(const UniqueAttributeList&) = delete;
    ~UniqueAttributeList() {
        if (processes_ != nullptr) processes_->DeleteProcThreadAttributeList(list_);
    }

    AttributeList get() const { return list_; }

private:
    Processes* processes_;
    AttributeList list_;
};

// PROC_THREAD_ATTRIBUTE_* values.
namespace proc_thread_attribute {
inline constexpr std::uint32_t kHandleList = 0x00020002;             // HANDLE[]
inline constexpr std::uint32_t kSecurityCapabilities = 0x00020009;   // SECURITY_CAPABILITIES
inline constexpr std::uint32_t kJobList = 0x0002000D;                // HANDLE[]
inline constexpr std::uint32_t kAllApplicationPackagesPolicy = 0x0002000F;  // DWORD
}  // namespace proc_thread_attribute

// PROCESS_CREATION_ALL_APPLICATION_PACKAGES_OPT_OUT: a less-privileged AppContainer.
inline constexpr std::uint32_t kAllApplicationPackagesOptOut = 1;

// Process creation flags.
namespace creation_flag {
inline constexpr std::uint32_t kSuspended = 0x00000004;
inline constexpr std::uint32_t kUnicodeEnvironment = 0x00000400;
inline constexpr std::uint32_t kExtendedStartupInfoPresent = 0x00080000;
inline constexpr std::uint32_t kNoWindow = 0x08000000;
}  // namespace creation_flag

// STARTF_* flags.
namespace startup_flag {
inline constexpr std::uint32_t kUseStdHandles = 0x00000100;
}  // namespace startup_flag

namespace startup_info_layout {
inline constexpr std::uint32_t kExtendedSize = 112;  // sizeof(STARTUPINFOEXW) on x64
}  // namespace startup_info_layout

// HANDLE_FLAG_* bits.
namespace handle_flag {
inline constexpr std::uint32_t kInherit = 0x00000001;
inline constexpr std::uint32_t kProtectFromClose = 0x00000002;
}  // namespace handle_flag

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
