#include "platform/win32/win32_processes.h"

#include <deque>
#include <memory>
#include <vector>

#include "platform/win32/win32_common.h"

namespace telvo::platform::win32 {

namespace {

// The job structures cross the seam as bytes; their sizes on x64 must be the
// ones the callers build.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == job_layout::kExtendedLimitSize);
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == job_layout::kBasicAccountingSize);
static_assert(offsetof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION, ActiveProcesses) ==
              job_layout::kActiveProcessesOffset);
static_assert(sizeof(JOBOBJECT_BASIC_UI_RESTRICTIONS) == job_layout::kUiRestrictionsSize);

// The callers fill STARTUPINFOEXW's cb with the x64 size, and pass the
// attribute and flag values as the headers define them.
static_assert(sizeof(STARTUPINFOEXW) == startup_info_layout::kExtendedSize);
static_assert(PROC_THREAD_ATTRIBUTE_HANDLE_LIST == proc_thread_attribute::kHandleList);
static_assert(PROC_THREAD_ATTRIBUTE_SECURITY_CAPABILITIES == proc_thread_attribute::kSecurityCapabilities);
static_assert(PROC_THREAD_ATTRIBUTE_JOB_LIST == proc_thread_attribute::kJobList);
static_assert(PROC_THREAD_ATTRIBUTE_ALL_APPLICATION_PACKAGES_POLICY ==
              proc_thread_attribute::kAllApplicationPackagesPolicy);
static_assert(CREATE_SUSPENDED == creation_flag::kSuspended);
static_assert(CREATE_UNICODE_ENVIRONMENT == creation_flag::kUnicodeEnvironment);
static_assert(EXTENDED_STARTUPINFO_PRESENT == creation_flag::kExtendedStartupInfoPresent);
static_assert(CREATE_NO_WINDOW == creation_flag::kNoWindow);
static_assert(STARTF_USESTDHANDLES == startup_flag::kUseStdHandles);
static_assert(HANDLE_FLAG_INHERIT == handle_flag::kInherit);
static_assert(STILL_ACTIVE == kStillActive);

DWORD WINAPI RunThread(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> start(static_cast<std::function<void()>*>(parameter));
    (*start)();
    return 0;
}

// SetThreadDescription (Windows 10 1607) has no declaration in the MinGW
// headers: it is resolved from kernel32 once.
using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFunction SetThreadDescriptionExport() {
    static const SetThreadDescriptionFunction resolved = [] {
        const HMODULE module = ::GetModuleHandleW(L"kernel32.dll");
        if (module == nullptr) return SetThreadDescriptionFunction{nullptr};
        return reinterpret_cast<SetThreadDescriptionFunction>(
            reinterpret_cast<void (*)()>(::GetProcAddress(module, "SetThreadDescription")));
    }();
    return resolved;
}

const wchar_t* OrNull(const std::u16string& text) { return text.empty() ? nullptr : Wide(text); }

}  // namespace

// An attribute list and the values it points at: Windows references the
// values, so they live exactly as long as the list. The deques keep each
// value's address when more are added.
struct Win32Processes::ListStorage {
    struct Capabilities {
        std::vector<std::vector<std::uint8_t>> sids;
        std::vector<SID_AND_ATTRIBUTES> entries;
        SECURITY_CAPABILITIES value{};
    };

    std::unique_ptr<std::uint8_t[]> bytes;
    std::deque<DWORD> words;
    std::deque<std::vector<HANDLE>> handle_arrays;
    std::deque<Capabilities> capabilities;

    LPPROC_THREAD_ATTRIBUTE_LIST list() const { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(bytes.get()); }

    // The value as Windows takes it, copied here: its address and size.
    std::pair<void*, SIZE_T> Keep(const ProcThreadAttributeValue& value) {
        if (const auto* word = std::get_if<std::uint32_t>(&value)) {
            return {&words.emplace_back(*word), sizeof(DWORD)};
        }
        if (const auto* handles = std::get_if<std::vector<Handle>>(&value)) {
            auto& array = handle_arrays.emplace_back();
            for (const Handle handle : *handles) array.push_back(ToNative(handle));
            return {array.empty() ? nullptr : array.data(), array.size() * sizeof(HANDLE)};
        }
        const auto& given = std::get<SecurityCapabilities>(value);
        auto& kept = capabilities.emplace_back();
        kept.sids.emplace_back(given.app_container_sid.bytes().begin(), given.app_container_sid.bytes().end());
        for (const auto& capability : given.capabilities) {
            kept.sids.emplace_back(capability.sid.bytes().begin(), capability.sid.bytes().end());
        }
        for (std::size_t index = 0; index < given.capabilities.size(); ++index) {
            kept.entries.push_back({kept.sids[index + 1].data(), given.capabilities[index].attributes});
        }
        kept.value.AppContainerSid = kept.sids[0].data();
        kept.value.Capabilities = kept.entries.empty() ? nullptr : kept.entries.data();
        kept.value.CapabilityCount = static_cast<DWORD>(kept.entries.size());
        kept.value.Reserved = 0;
        return {&kept.value, sizeof(SECURITY_CAPABILITIES)};
    }
};

Win32Processes::Win32Processes() = default;
Win32Processes::~Win32Processes() = default;

SysResult<Handle> Win32Processes::CreateJobObjectW() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return LastError();
    return FromNative(job);
}

SysResult<void> Win32Processes::SetInformationJobObject(Handle job, std::uint32_t information_class,
                                                        std::span<const std::uint8_t> information) {
    if (!::SetInformationJobObject(ToNative(job), static_cast<JOBOBJECTINFOCLASS>(information_class),
                                   const_cast<std::uint8_t*>(information.data()),
                                   static_cast<DWORD>(information.size()))) {
        return LastError();
    }
    return {};
}

SysResult<std::uint32_t> Win32Processes::QueryInformationJobObject(Handle job, std::uint32_t information_class,
                                                                   std::span<std::uint8_t> buffer) {
    DWORD returned = 0;
    if (!::QueryInformationJobObject(ToNative(job), static_cast<JOBOBJECTINFOCLASS>(information_class),
                                     buffer.data(), static_cast<DWORD>(buffer.size()), &returned)) {
        return LastError();
    }
    return returned;
}

SysResult<void> Win32Processes::TerminateJobObject(Handle job, std::uint32_t exit_code) {
    if (!::TerminateJobObject(ToNative(job), exit_code)) return LastError();
    return {};
}

SysResult<Handle> Win32Processes::CreateThread(std::function<void()> start) {
    auto owned = std::make_unique<std::function<void()>>(std::move(start));
    HANDLE thread = ::CreateThread(nullptr, 0, RunThread, owned.get(), 0, nullptr);
    if (thread == nullptr) return LastError();
    owned.release();  // the thread owns it now
    return FromNative(thread);
}

SysResult<void> Win32Processes::SetThreadDescription(Handle thread, const std::u16string& description) {
    const SetThreadDescriptionFunction set_description = SetThreadDescriptionExport();
    // E_NOTIMPL where the system predates the call.
    if (set_description == nullptr) return std::unexpected(SysError::HResult(0x80004001));
    const HRESULT result = set_description(ToNative(thread), Wide(description));
    if (FAILED(result)) return std::unexpected(SysError::HResult(static_cast<std::uint32_t>(result)));
    return {};
}

SysResult<AttributeList> Win32Processes::InitializeProcThreadAttributeList(std::uint32_t attribute_count,
                                                                         std::size_t size, std::size_t& size_needed) {
    auto storage = std::make_unique<ListStorage>();
    if (size != 0) storage->bytes = std::make_unique<std::uint8_t[]>(size);
    SIZE_T in_out = size;
    if (!::InitializeProcThreadAttributeList(storage->list(), attribute_count, 0, &in_out)) {
        const auto failure = LastError();
        size_needed = in_out;
        return failure;
    }
    size_needed = in_out;
    std::lock_guard lock(lists_mutex_);
    const std::uint64_t id = next_list_++;
    lists_.emplace(id, std::move(storage));
    return AttributeList{id};
}

SysResult<void> Win32Processes::UpdateProcThreadAttribute(AttributeList list, std::uint32_t attribute,
                                                          const ProcThreadAttributeValue& value) {
    std::lock_guard lock(lists_mutex_);
    const auto found = lists_.find(static_cast<std::uint64_t>(list));
    if (found == lists_.end()) return std::unexpected(SysError::Win32(ERROR_INVALID_PARAMETER));
    const auto [address, size] = found->second->Keep(value);
    if (!::UpdateProcThreadAttribute(found->second->list(), 0, attribute, address, size, nullptr, nullptr)) {
        return LastError();
    }
    return {};
}

void Win32Processes::DeleteProcThreadAttributeList(AttributeList list) {
    std::unique_ptr<ListStorage> storage;
    {
        std::lock_guard lock(lists_mutex_);
        const auto found = lists_.find(static_cast<std::uint64_t>(list));
        if (found == lists_.end()) return;
        storage = std::move(found->second);
        lists_.erase(found);
    }
    ::DeleteProcThreadAttributeList(storage->list());
}

SysResult<ProcessInformation> Win32Processes::CreateProcessW(const CreateProcessParameters& parameters) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = parameters.startup_info.cb;
    startup.StartupInfo.dwFlags = parameters.startup_info.flags;
    startup.StartupInfo.hStdInput = ToNative(parameters.startup_info.std_input);
    startup.StartupInfo.hStdOutput = ToNative(parameters.startup_info.std_output);
    startup.StartupInfo.hStdError = ToNative(parameters.startup_info.std_error);
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> command_line(parameters.command_line.begin(), parameters.command_line.end());
    command_line.push_back(L'\0');
    std::vector<char16_t> environment(parameters.environment.begin(), parameters.environment.end());

    // The list stays locked until the process exists, so that it cannot be
    // deleted while Windows reads it.
    std::unique_lock lock(lists_mutex_);
    if (parameters.startup_info.attribute_list) {
        const auto found = lists_.find(static_cast<std::uint64_t>(*parameters.startup_info.attribute_list));
        if (found == lists_.end()) return std::unexpected(SysError::Win32(ERROR_INVALID_PARAMETER));
        startup.lpAttributeList = found->second->list();
    }
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(OrNull(parameters.application_name), command_line.data(), nullptr, nullptr,
                          parameters.inherit_handles ? TRUE : FALSE, parameters.creation_flags,
                          environment.empty() ? nullptr : environment.data(), OrNull(parameters.current_directory),
                          &startup.StartupInfo, &created)) {
        return LastError();
    }
    return ProcessInformation{FromNative(created.hProcess), FromNative(created.hThread), created.dwProcessId,
                              created.dwThreadId};
}

SysResult<std::uint32_t> Win32Processes::ResumeThread(Handle thread) {
    const DWORD previous = ::ResumeThread(ToNative(thread));
    if (previous == static_cast<DWORD>(-1)) return LastError();
    return previous;
}

SysResult<std::uint32_t> Win32Processes::GetExitCodeProcess(Handle process) {
    DWORD code = 0;
    if (!::GetExitCodeProcess(ToNative(process), &code)) return LastError();
    return code;
}

SysResult<void> Win32Processes::TerminateProcess(Handle process, std::uint32_t exit_code) {
    if (!::TerminateProcess(ToNative(process), exit_code)) return LastError();
    return {};
}

SysResult<std::uint32_t> Win32Processes::GetProcessId(Handle process) {
    const DWORD id = ::GetProcessId(ToNative(process));
    if (id == 0) return LastError();
    return id;
}

SysResult<std::u16string> Win32Processes::QueryFullProcessImageNameW(Handle process) {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(ToNative(process), 0, buffer.data(), &size)) return LastError();
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), size);
}

std::uint32_t Win32Processes::GetCurrentProcessId() { return ::GetCurrentProcessId(); }

SysResult<Handle> Win32Processes::OpenProcess(std::uint32_t desired_access, std::uint32_t process_id) {
    HANDLE process = ::OpenProcess(desired_access, FALSE, process_id);
    if (process == nullptr) return LastError();
    return FromNative(process);
}

SysResult<Handle> Win32Processes::DuplicateHandle(Handle source_process, Handle source, std::uint32_t desired_access,
                                                  std::uint32_t options) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(ToNative(source_process), ToNative(source), ::GetCurrentProcess(), &duplicate,
                           desired_access, FALSE, options)) {
        return LastError();
    }
    return FromNative(duplicate);
}

SysResult<ProcessTimes> Win32Processes::GetProcessTimes(Handle process) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!::GetProcessTimes(ToNative(process), &creation, &exit, &kernel, &user)) return LastError();
    const auto value = [](const FILETIME& time) {
        return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    };
    return ProcessTimes{value(creation), value(exit)};
}

SysResult<bool> Win32Processes::IsProcessInJob(Handle process, Handle job) {
    BOOL in_job = FALSE;
    if (!::IsProcessInJob(ToNative(process), ToNative(job), &in_job)) return LastError();
    return in_job != FALSE;
}

SysResult<std::uint32_t> Win32Processes::GetHandleInformation(Handle handle) {
    DWORD flags = 0;
    if (!::GetHandleInformation(ToNative(handle), &flags)) return LastError();
    return flags;
}

SysResult<void> Win32Processes::SetHandleInformation(Handle handle, std::uint32_t mask, std::uint32_t flags) {
    if (!::SetHandleInformation(ToNative(handle), mask, flags)) return LastError();
    return {};
}

}  // namespace telvo::platform::win32
